#include "output_port.h"

#include "member_access.h"
#include "peer_rejoin.h"
#include "port_texts.h"
#include "wire_format.h"

#include <QMetaObject>

#include <algorithm>
#include <string>
#include <utility>

namespace keyflip {

namespace {

using members::countAsInt16;
using members::kMaxListed;
using members::logRead;
using members::logWrite;
using members::refuseValue;
using members::tellClosed;
using members::tellOpened;

// How soon Note Offs that missed a connection are sent again, the first time
// and at the most: soon, and then seldom while a connection keeps missing.
constexpr std::chrono::milliseconds kShortestResendWait{10};
constexpr std::chrono::milliseconds kLongestResendWait{1000};

}  // namespace

MidiOutputPort::MidiOutputPort(MidiBackend& backend, QObject* parent)
    : QObject(parent),
      backend_(backend),
      log_(backend.accessLog()),
      rejoin_(new PeerRejoin(
          backend, PortSide::Output,
          [this](const std::string& name, bool started) { return reopen(name, started); }, this)),
      resendWait_(kShortestResendWait) {
    resendTimer_.setSingleShot(true);
    connect(&resendTimer_, &QTimer::timeout, this, [this] {
        resendReleasedNoteOffs();
        resendWait_ = std::min(resendWait_ * 2, kLongestResendWait);
        watchReleasedNoteOffs();
    });
    connect(&backend_, &MidiBackend::connectionLost, this, &MidiOutputPort::onConnectionLost);
    connect(&backend_, &MidiBackend::peerLeft, this, &MidiOutputPort::onPeerLeft);
    connect(&backend_, &MidiBackend::outgoingLost, this, [this](quint64 count) {
        report(PortErrorCode::OutputOverflow, texts::outgoingLost(count));
    });
}

MidiOutputPort::~MidiOutputPort() {
    close();
}

void MidiOutputPort::setPortCommand(std::int16_t code) {
    logWrite(log_, "out", "PortCommand", code);
    lastCommand_ = code;
    switch (code) {
        case PORT_OPEN:
            rejoin_->forget();
            open();
            break;
        case PORT_CLOSE:
            rejoin_->forget();
            close();
            break;
        case PORT_START:
            if (state_ == PORT_STATE_CLOSED) {
                rejoin_->setStarted(true);
                reportNotOpen();
            } else {
                state_ = PORT_STATE_STARTED;
            }
            break;
        case PORT_STOP:
            rejoin_->setStarted(false);
            if (state_ == PORT_STATE_STARTED) {
                state_ = PORT_STATE_OPEN;
            }
            break;
        case MSG_SEND:
            send();
            break;
        default:
            refuseValue();
    }
}

std::int16_t MidiOutputPort::deviceIndex() {
    logRead(log_, "out", "DeviceIndex", deviceIndex_);
    return deviceIndex_;
}

void MidiOutputPort::setDeviceIndex(std::int16_t index) {
    logWrite(log_, "out", "DeviceIndex", index);
    if (index < -1) {
        refuseValue();
    }
    deviceIndex_ = index;
}

QString MidiOutputPort::deviceName() {
    if (!devicesListed_) {
        refreshDevices();
    }
    QString name;
    if (deviceIndex_ == -1) {
        name = QString::fromUtf8(texts::kOwnOutputName);
    } else if (static_cast<std::size_t>(deviceIndex_) < devices_.size()) {
        name = QString::fromStdString(devices_[static_cast<std::size_t>(deviceIndex_)]);
    }
    logRead(log_, "out", "DeviceName", name);
    return name;
}

std::int16_t MidiOutputPort::deviceCount() {
    refreshDevices();
    const std::int16_t count = countAsInt16(devices_.size());
    logRead(log_, "out", "DeviceCount", count);
    return count;
}

std::int16_t MidiOutputPort::portState() {
    logRead(log_, "out", "PortState", state_);
    return state_;
}

void MidiOutputPort::setMsgStatus(std::int16_t value) {
    logWrite(log_, "out", "MsgStatus", value);
    message_.status = value;
}

void MidiOutputPort::setMsgData1(std::int16_t value) {
    logWrite(log_, "out", "MsgData1", value);
    message_.data1 = value;
}

void MidiOutputPort::setMsgData2(std::int16_t value) {
    logWrite(log_, "out", "MsgData2", value);
    message_.data2 = value;
}

void MidiOutputPort::refreshDevices() {
    devicesListed_ = true;
    devices_.clear();
    if (!backend_.unreachableReason()) {
        devices_ = backend_.destinationNames();
        devices_.resize(std::min(devices_.size(), kMaxListed));
    }
}

void MidiOutputPort::open() {
    close();
    if (!devicesListed_) {
        refreshDevices();
    }
    if (std::optional<QString> reason; !backend_.checkReachable(reason)) {
        if (reason) {
            report(PortErrorCode::NoMidiSystem, *reason);
        }
        return;
    }
    std::string destination;
    if (deviceIndex_ >= 0) {
        const auto index = static_cast<std::size_t>(deviceIndex_);
        if (index >= devices_.size()) {
            report(PortErrorCode::DeviceNotFound,
                   texts::noDeviceNumber(PortSide::Output, deviceIndex_));
            return;
        }
        destination = devices_[index];
    }
    if (auto fault = backend_.openOutput(destination)) {
        awaitIfAway(*rejoin_, destination, *fault);
        report(fault->code, fault->text);
        return;
    }
    state_ = PORT_STATE_OPEN;
    reachedEverywhere_ = true;
    tellOpened(backend_);
    // Notes left sounding when the last connection was lost.
    sendOwedNoteOffs();
}

bool MidiOutputPort::reopen(const std::string& destination, bool started) {
    if (state_ != PORT_STATE_CLOSED || backend_.openOutput(destination)) {
        return false;
    }
    state_ = started ? PORT_STATE_STARTED : PORT_STATE_OPEN;
    reachedEverywhere_ = true;
    tellOpened(backend_);
    sendOwedNoteOffs();
    return true;
}

void MidiOutputPort::close() {
    if (state_ == PORT_STATE_CLOSED) {
        return;
    }
    releaseOwedNotes();
    backend_.closeOutput();
    state_ = PORT_STATE_CLOSED;
    resendTimer_.stop();
    resendWait_ = kShortestResendWait;
    tellClosed(backend_);
}

// Closing must never leave a synthesizer droning. A backlog gets its time to
// leave first; what it could not get out is dropped, and the notes it would
// have started or ended are counted as they really are. Then every note still
// sounding gets its Note Off, first in line, and a Note Off counts as sent
// only once it has left.
void MidiOutputPort::releaseOwedNotes() {
    backend_.flushOutput(kCloseFlushLimit);
    owedNoteOffs_.untrack(backend_.discardOutput());
    sendOwedNoteOffs();
    backend_.flushOutput(kCloseFlushLimit);
    owedNoteOffs_.untrack(backend_.discardOutput());
}

// Every pitch still sounding gets one Note Off before any gets a second.
void MidiOutputPort::sendOwedNoteOffs() {
    owedNoteOffs_.sendAll([this](const WireMessage& noteOff) { return dispatch(noteOff); });
    watchReleasedNoteOffs();
}

// The keys of these notes are up, but a Note Off missed a connection, where
// they still sound; the pump, which forgot those keys, will not send them
// again.
void MidiOutputPort::resendReleasedNoteOffs() {
    if (state_ == PORT_STATE_CLOSED || !owedNoteOffs_.anyReleased()) {
        return;
    }
    owedNoteOffs_.sendReleased([this](const WireMessage& noteOff) { return dispatch(noteOff); });
}

// While any are left they are tried again on a timer, should nothing else be
// played: the keyboard may have gone with its keys up.
void MidiOutputPort::watchReleasedNoteOffs() {
    if (state_ == PORT_STATE_CLOSED || !owedNoteOffs_.anyReleased()) {
        resendTimer_.stop();
        resendWait_ = kShortestResendWait;
        return;
    }
    if (!resendTimer_.isActive()) {
        resendTimer_.start(resendWait_);
    }
}

Delivery MidiOutputPort::dispatch(const WireMessage& message) {
    const Delivery delivery = backend_.dispatch(message);
    reachedEverywhere_ = delivery == Delivery::Everywhere;
    return delivery;
}

void MidiOutputPort::send() {
    if (state_ == PORT_STATE_CLOSED) {
        return;
    }
    const auto wire = encodeShortMessage(message_);
    if (!wire) {
        ++unsentCount_;
        report(PortErrorCode::MessageNotSent, texts::messageNotSent(message_, unsentCount_));
        return;
    }
    // Note Offs that missed a connection go first once the output took the
    // last message everywhere again: this one may strike their pitch anew.
    // Not while a connection keeps missing, or every message would bring an
    // extra Note Off to the others.
    if (reachedEverywhere_) {
        resendReleasedNoteOffs();
    }
    const Delivery delivery = dispatch(*wire);
    if (delivery == Delivery::Refused) {
        reportOverflowLater();
    }
    owedNoteOffs_.track(message_, delivery);
    watchReleasedNoteOffs();
}

// The box that shows this waits for the user, running the event loop; shown
// from inside a send, that loop would run the message pump again in the
// middle of its own run. It is reported once the running handler is done,
// once for a whole burst of refused messages.
void MidiOutputPort::reportOverflowLater() {
    if (std::exchange(overflowReportPending_, true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            overflowReportPending_ = false;
            report(PortErrorCode::OutputOverflow, texts::outgoingNotTaken());
        },
        Qt::QueuedConnection);
}

// Whatever could still reach a destination is released now (a patchbay may
// have connected the port elsewhere too); what cannot stays owed and goes out
// on the next connection.
void MidiOutputPort::onConnectionLost(PortSide side, qint16 code, const QString& text) {
    if (side != PortSide::Output || state_ == PORT_STATE_CLOSED) {
        return;
    }
    close();
    report(code, text);
}

void MidiOutputPort::onPeerLeft(PortSide side, const std::string& name) {
    if (side != PortSide::Output || state_ == PORT_STATE_CLOSED) {
        return;
    }
    const bool started = state_ == PORT_STATE_STARTED;
    close();
    rejoin_->remember(name, started);
    report(PortErrorCode::ConnectionLost, texts::deviceLeft(side, name));
}

// With no MIDI system, that is why the port is closed, and it is said once
// for both ports.
void MidiOutputPort::reportNotOpen() {
    if (std::optional<QString> reason; !backend_.checkReachable(reason)) {
        if (reason) {
            report(PortErrorCode::NoMidiSystem, *reason);
        }
        return;
    }
    report(PortErrorCode::PortNotOpen, texts::notOpen(PortSide::Output, rejoin_->awaitedName()));
}

void MidiOutputPort::report(std::int16_t code, const QString& text) {
    qint16 reportedCode = code;
    QString reportedText = text;
    emit PortError(reportedCode, reportedText);
}

}  // namespace keyflip
