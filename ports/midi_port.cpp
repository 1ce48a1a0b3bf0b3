#include "midi_port.h"

#include "incoming_queue.h"
#include "peer_rejoin.h"
#include "port_access_log.h"
#include "program_error.h"
#include "wire_format.h"

#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <utility>

namespace keyflip {

namespace {

constexpr std::size_t kMaxListed = std::numeric_limits<std::int16_t>::max();

std::int16_t countAsInt16(std::size_t count) {
    return static_cast<std::int16_t>(std::min(count, kMaxListed));
}

void logRead(PortAccessLog* log, const char* port, const char* member, long value) {
    if (log) {
        log->recordRead(port, member, std::to_string(value));
    }
}

void logRead(PortAccessLog* log, const char* port, const char* member, const QString& value) {
    if (log) {
        log->recordRead(port, member, value.toStdString());
    }
}

void logWrite(PortAccessLog* log, const char* port, const char* member, long value) {
    if (log) {
        log->recordWrite(port, member, std::to_string(value));
    }
}

// A flood is passed on in batches of at most this long, with the window's
// other events in between, so a click is never kept waiting behind it.
constexpr std::chrono::milliseconds kBatchBudget{20};
constexpr std::uint32_t kMessagesPerClockReading = 16;

[[noreturn]] void refuseValue() {
    throw ProgramError(kInvalidPropertyValueDescription);
}

QString sideWord(PortSide side) {
    return side == PortSide::Input ? QStringLiteral("input") : QStringLiteral("output");
}

QString deviceLeftText(PortSide side, const QString& name) {
    return QStringLiteral(
               "The MIDI %1 device \"%2\" went away. Keyflip will connect to it again as soon "
               "as it is back.")
        .arg(sideWord(side), name);
}

// A device chosen while it is away (unplugged since the list was read, or
// chosen again while awaited) is awaited like one that left while open.
void awaitIfAway(PeerRejoin& rejoin, const std::string& name, PortFault& fault) {
    if (fault.code != PortErrorCode::DeviceNotFound || name.empty()) {
        return;
    }
    rejoin.remember(name, false);
    fault.text += QStringLiteral(" Keyflip will connect to it as soon as it is back.");
}

QString notOpenText(const PeerRejoin& rejoin, PortSide side) {
    if (const std::string* name = rejoin.awaitedName()) {
        return QStringLiteral(
                   "The MIDI %1 device \"%2\" is not back yet. Keyflip will connect to it and "
                   "start the %1 as soon as it is back.")
            .arg(sideWord(side), QString::fromStdString(*name));
    }
    return QStringLiteral("The MIDI %1 is not open.").arg(sideWord(side));
}

}  // namespace

// ---------------------------------------------------------------- input port

MidiInputPort::MidiInputPort(MidiBackend& backend, QObject* parent)
    : QObject(parent),
      backend_(backend),
      log_(backend.accessLog()),
      queue_(std::make_unique<IncomingQueue>()),
      wakeNotifier_(new QSocketNotifier(queue_->wakeDescriptor(), QSocketNotifier::Read, this)),
      rejoin_(new PeerRejoin(
          backend, PortSide::Input,
          [this](const std::string& name, bool started) { return reopen(name, started); }, this)) {
    connect(wakeNotifier_, &QSocketNotifier::activated, this, &MidiInputPort::onWake);
    connect(&backend_, &MidiBackend::connectionLost, this, &MidiInputPort::onConnectionLost);
    connect(&backend_, &MidiBackend::peerLeft, this, &MidiInputPort::onPeerLeft);
}

MidiInputPort::~MidiInputPort() {
    close();
}

void MidiInputPort::setPortCommand(std::int16_t code) {
    logWrite(log_, "in", "PortCommand", code);
    lastCommand_ = code;
    switch (code) {
        case PORT_OPEN:
            rejoin_->forget();
            closeOnCommand();
            open();
            break;
        case PORT_CLOSE:
            rejoin_->forget();
            closeOnCommand();
            break;
        case PORT_START:
            start();
            break;
        case PORT_STOP:
            rejoin_->setStarted(false);
            if (state_ == PORT_STATE_STARTED) {
                stop();
                emit SourceLost();
            }
            break;
        case MSG_DROP:
            queue_->pop();
            break;
        default:
            refuseValue();
    }
}

std::int16_t MidiInputPort::deviceIndex() {
    logRead(log_, "in", "DeviceIndex", deviceIndex_);
    return deviceIndex_;
}

void MidiInputPort::setDeviceIndex(std::int16_t index) {
    logWrite(log_, "in", "DeviceIndex", index);
    if (index < 0) {
        refuseValue();
    }
    deviceIndex_ = index;
}

QString MidiInputPort::deviceName() {
    if (!devicesListed_) {
        refreshDevices();
    }
    const auto index = static_cast<std::size_t>(deviceIndex_);
    const QString name =
        index < devices_.size() ? QString::fromStdString(devices_[index]) : QString();
    logRead(log_, "in", "DeviceName", name);
    return name;
}

std::int16_t MidiInputPort::deviceCount() {
    refreshDevices();
    const std::int16_t count = countAsInt16(devices_.size());
    logRead(log_, "in", "DeviceCount", count);
    return count;
}

std::int16_t MidiInputPort::portState() {
    logRead(log_, "in", "PortState", state_);
    return state_;
}

std::int16_t MidiInputPort::pendingCount() {
    std::size_t size = queue_->size();
    if (size > 0 && batch_ != nullptr && batch_->overBudget()) {
        batch_->yielded = true;
        size = 0;
    }
    const std::int16_t count = countAsInt16(size);
    logRead(log_, "in", "PendingCount", count);
    return count;
}

std::int16_t MidiInputPort::msgStatus() {
    const std::int16_t value = queue_->size() > 0 ? queue_->front().status : 0;
    logRead(log_, "in", "MsgStatus", value);
    return value;
}

std::int16_t MidiInputPort::msgData1() {
    const std::int16_t value = queue_->size() > 0 ? queue_->front().data1 : 0;
    logRead(log_, "in", "MsgData1", value);
    return value;
}

std::int16_t MidiInputPort::msgData2() {
    const std::int16_t value = queue_->size() > 0 ? queue_->front().data2 : 0;
    logRead(log_, "in", "MsgData2", value);
    return value;
}

// The list is kept as read, and a later open goes by the name it held, so a
// device that came or went in between never opens a neighbour instead.
void MidiInputPort::refreshDevices() {
    devicesListed_ = true;
    devices_.clear();
    if (backend_.unreachableReason()) {
        return;
    }
    devices_ = backend_.sourceNames();
    devices_.resize(std::min(devices_.size(), kMaxListed - 1));
    devices_.emplace_back(kOwnInputName);
}

void MidiInputPort::open() {
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
    const auto index = static_cast<std::size_t>(deviceIndex_);
    if (index >= devices_.size()) {
        report(PortErrorCode::DeviceNotFound,
               QStringLiteral("There is no MIDI input device number %1.").arg(deviceIndex_));
        return;
    }
    const bool ownPortAlone = index + 1 == devices_.size();
    const std::string source = ownPortAlone ? std::string() : devices_[index];
    if (auto fault = backend_.openInput(source)) {
        awaitIfAway(*rejoin_, source, *fault);
        report(fault->code, fault->text);
        return;
    }
    queue_->clear();
    state_ = PORT_STATE_OPEN;
}

// The device list and index stay as the program set them, so the setup
// dialog's choice still means what it meant.
bool MidiInputPort::reopen(const std::string& source, bool started) {
    if (state_ != PORT_STATE_CLOSED || backend_.openInput(source)) {
        return false;
    }
    queue_->clear();
    state_ = PORT_STATE_OPEN;
    if (started) {
        start();
    }
    return true;
}

void MidiInputPort::close() {
    if (state_ == PORT_STATE_CLOSED) {
        return;
    }
    backend_.setInputQueue(nullptr);
    backend_.closeInput();
    queue_->clear();
    state_ = PORT_STATE_CLOSED;
}

// What the source sends from now on is not passed on, its Note Offs among
// it, so the notes held from it are released now; else the memory of them
// would pair the key's next Note Off with a pitch that no longer sounds.
void MidiInputPort::closeOnCommand() {
    if (state_ == PORT_STATE_CLOSED) {
        return;
    }
    close();
    emit SourceLost();
}

void MidiInputPort::start() {
    if (state_ == PORT_STATE_CLOSED) {
        // Started while its device is away, the port starts once it is back.
        rejoin_->setStarted(true);
        report(PortErrorCode::PortNotOpen, notOpenText(*rejoin_, PortSide::Input));
        return;
    }
    state_ = PORT_STATE_STARTED;
    backend_.setInputQueue(queue_.get());
    if (queue_->size() > 0) {
        queue_->wake();
    }
}

void MidiInputPort::stop() {
    if (state_ != PORT_STATE_STARTED) {
        return;
    }
    backend_.setInputQueue(nullptr);
    state_ = PORT_STATE_OPEN;
}

void MidiInputPort::onWake() {
    // A handler of Message that runs the event loop (a box waiting for the
    // user) must not start a second run over the message the first one is
    // still handling; the running one reads the count again and takes the
    // new arrivals itself.
    if (passingOn_) {
        queue_->acknowledgeWake();
        return;
    }
    bool yielded = false;
    bool tookSome = false;
    const bool hadSome = state_ == PORT_STATE_STARTED && queue_->size() > 0;
    if (hadSome) {
        const std::size_t takenBefore = queue_->takenCount();
        RunningBatch batch;
        passOn(&batch);
        yielded = batch.yielded;
        tookSome = queue_->takenCount() != takenBefore;
    }
    // The wake-up is taken after the run, so the first message goes out one
    // system call sooner. A message that arrived after the count was read
    // may have had its wake-up taken here: it is still queued, so the wake is
    // given again. Not when the handler saw messages and took none, which
    // would only wake it in vain; but a wake-up left over from a message an
    // earlier run took finds the queue empty, and what arrives as it is
    // taken has been seen by no handler yet.
    queue_->acknowledgeWake();
    const bool arrivedUnseen =
        (tookSome || !hadSome) && state_ == PORT_STATE_STARTED && queue_->size() > 0;
    if (yielded || arrivedUnseen) {
        // The rest follows once the window has had its turn.
        queue_->wake();
    }
    // One report for a whole flood, never one per lost message: while a
    // backlog is still being worked through, the count keeps growing.
    if (yielded) {
        return;
    }
    if (const std::uint64_t lost = queue_->takeDroppedCount()) {
        report(PortErrorCode::InputOverflow,
               QStringLiteral("%1 incoming MIDI messages were lost: they arrived faster than "
                              "Keyflip could pass them on.")
                   .arg(lost));
    }
}

bool MidiInputPort::RunningBatch::overBudget() {
    if (++asked % kMessagesPerClockReading != 0) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!deadline) {
        deadline = now + kBatchBudget;
        return false;
    }
    return now >= *deadline;
}

// batch: when the run must yield to the window; nullptr runs to the end.
void MidiInputPort::passOn(RunningBatch* batch) {
    batch_ = batch;
    passingOn_ = true;
    emit Message();
    passingOn_ = false;
    batch_ = nullptr;
}

// What had already arrived is passed on before the queue goes (a keyboard
// program sends its Note Offs as it quits); then the notes the source left
// held are released.
void MidiInputPort::onConnectionLost(PortSide side, qint16 code, const QString& text) {
    if (side != PortSide::Input || state_ == PORT_STATE_CLOSED) {
        return;
    }
    dropSource();
    report(code, text);
}

void MidiInputPort::onPeerLeft(PortSide side, const std::string& name) {
    if (side != PortSide::Input || state_ == PORT_STATE_CLOSED) {
        return;
    }
    const bool started = state_ == PORT_STATE_STARTED;
    dropSource();
    rejoin_->remember(name, started);
    report(PortErrorCode::ConnectionLost, deviceLeftText(side, QString::fromStdString(name)));
}

void MidiInputPort::dropSource() {
    if (state_ == PORT_STATE_STARTED && !passingOn_) {
        backend_.setInputQueue(nullptr);
        if (queue_->size() > 0) {
            passOn(nullptr);
        }
    }
    close();
    emit SourceLost();
}

void MidiInputPort::report(std::int16_t code, const QString& text) {
    qint16 reportedCode = code;
    QString reportedText = text;
    emit PortError(reportedCode, reportedText);
}

// --------------------------------------------------------------- output port

MidiOutputPort::MidiOutputPort(MidiBackend& backend, QObject* parent)
    : QObject(parent),
      backend_(backend),
      log_(backend.accessLog()),
      rejoin_(new PeerRejoin(
          backend, PortSide::Output,
          [this](const std::string& name, bool started) { return reopen(name, started); }, this)) {
    connect(&backend_, &MidiBackend::connectionLost, this, &MidiOutputPort::onConnectionLost);
    connect(&backend_, &MidiBackend::peerLeft, this, &MidiOutputPort::onPeerLeft);
    connect(&backend_, &MidiBackend::outgoingLost, this, [this](quint64 count) {
        report(PortErrorCode::OutputOverflow,
               QStringLiteral("%1 outgoing MIDI messages were lost: the MIDI system did not take "
                              "them in time.")
                   .arg(count));
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
                report(PortErrorCode::PortNotOpen, notOpenText(*rejoin_, PortSide::Output));
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
        name = QString::fromUtf8(kOwnOutputName);
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
                   QStringLiteral("There is no MIDI output device number %1.").arg(deviceIndex_));
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
    // Notes left sounding when the last connection was lost.
    sendOwedNoteOffs();
}

bool MidiOutputPort::reopen(const std::string& destination, bool started) {
    if (state_ != PORT_STATE_CLOSED || backend_.openOutput(destination)) {
        return false;
    }
    state_ = started ? PORT_STATE_STARTED : PORT_STATE_OPEN;
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
}

// Closing must never leave a synthesizer droning. A backlog gets its time to
// leave first; what it could not get out is dropped, and the notes it would
// have started or ended are counted as they really are. Then every note still
// sounding gets its Note Off, first in line, and a Note Off counts as sent
// only once it has left.
void MidiOutputPort::releaseOwedNotes() {
    backend_.flushOutput(kCloseFlushLimit);
    untrackUnsent(backend_.discardOutput());
    sendOwedNoteOffs();
    backend_.flushOutput(kCloseFlushLimit);
    untrackUnsent(backend_.discardOutput());
}

// Every pitch still sounding gets one Note Off before any gets a second. A
// pitch may owe hundreds (the wheel note is struck again by every wheel
// message); should the destination take only part of them (a full buffer
// drops the rest), the other notes are silenced all the same.
void MidiOutputPort::sendOwedNoteOffs() {
    for (const bool onePerPitch : {true, false}) {
        for (std::size_t channel = 0; channel < owedNoteOffs_.size(); ++channel) {
            for (std::size_t note = 0; note < owedNoteOffs_[channel].size(); ++note) {
                std::uint16_t& owed = owedNoteOffs_[channel][note];
                WireMessage noteOff;
                noteOff.size = 3;
                noteOff.bytes = {static_cast<std::uint8_t>(midi::kNoteOff | channel),
                                 static_cast<std::uint8_t>(note), 0};
                while (owed > 0) {
                    if (!backend_.send(noteOff)) {
                        return;
                    }
                    --owed;
                    if (onePerPitch) {
                        break;
                    }
                }
            }
        }
    }
}

void MidiOutputPort::send() {
    if (state_ == PORT_STATE_CLOSED) {
        return;
    }
    const auto wire = encodeShortMessage(message_);
    if (!wire) {
        ++unsentCount_;
        report(PortErrorCode::MessageNotSent,
               QStringLiteral("(%1, %2, %3) was not sent: a value does not fit in a MIDI message. "
                              "%4 messages not sent so far.")
                   .arg(message_.status)
                   .arg(message_.data1)
                   .arg(message_.data2)
                   .arg(unsentCount_));
        return;
    }
    if (!backend_.send(*wire)) {
        reportOverflowLater();
        return;
    }
    trackSounding(message_);
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
            report(PortErrorCode::OutputOverflow,
                   QStringLiteral("Outgoing MIDI messages were lost: the MIDI system did not take "
                                  "them as fast as they came."));
        },
        Qt::QueuedConnection);
}

void MidiOutputPort::trackSounding(const ShortMessage& sent) {
    const int kind = sent.status & midi::kClassMask;
    if (kind != midi::kNoteOff && kind != midi::kNoteOn) {
        return;
    }
    std::uint16_t& owed = owedNoteOffs_[static_cast<std::size_t>(sent.status & midi::kChannelMask)]
                                       [static_cast<std::size_t>(sent.data1)];
    if (kind == midi::kNoteOn && sent.data2 > 0) {
        owed = owed == UINT16_MAX ? owed : static_cast<std::uint16_t>(owed + 1);
    } else if (owed > 0) {
        --owed;
    }
}

// Undoes, newest first, what messages that never left did to the count. A
// Note Off that never left is owed again; an extra Note Off is harmless, a
// missing one leaves a note droning.
void MidiOutputPort::untrackUnsent(const std::vector<WireMessage>& unsent) {
    for (auto message = unsent.rbegin(); message != unsent.rend(); ++message) {
        if (message->size != 3) {
            continue;
        }
        const int kind = message->bytes[0] & midi::kClassMask;
        if (kind != midi::kNoteOff && kind != midi::kNoteOn) {
            continue;
        }
        std::uint16_t& owed =
            owedNoteOffs_[message->bytes[0] & midi::kChannelMask][message->bytes[1]];
        if (kind == midi::kNoteOn && message->bytes[2] > 0) {
            if (owed > 0) {
                --owed;
            }
        } else if (owed < UINT16_MAX) {
            ++owed;
        }
    }
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
    report(PortErrorCode::ConnectionLost, deviceLeftText(side, QString::fromStdString(name)));
}

void MidiOutputPort::report(std::int16_t code, const QString& text) {
    qint16 reportedCode = code;
    QString reportedText = text;
    emit PortError(reportedCode, reportedText);
}

}  // namespace keyflip
