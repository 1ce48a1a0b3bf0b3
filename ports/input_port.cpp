#include "input_port.h"

#include "incoming_queue.h"
#include "member_access.h"
#include "peer_rejoin.h"
#include "port_texts.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace keyflip {

namespace {

using members::countAsInt16;
using members::kMaxListed;
using members::logRead;
using members::logWrite;
using members::refuseValue;
using members::tellClosed;
using members::tellOpened;

// A flood is passed on in batches of at most this long, with the window's
// other events in between, so a click is never kept waiting behind it.
constexpr std::chrono::milliseconds kBatchBudget{20};
constexpr std::uint32_t kMessagesPerClockReading = 16;

}  // namespace

MidiInputPort::MidiInputPort(MidiBackend& backend, QObject* parent)
    : QObject(parent),
      backend_(backend),
      log_(backend.accessLog()),
      queue_(std::make_unique<IncomingQueue>()),
      rejoin_(new PeerRejoin(
          backend, PortSide::Input,
          [this](const std::string& name, bool started) { return reopen(name, started); }, this)) {
    queue_->setWakeHandler([this] { onWake(); });
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
    devices_.emplace_back(texts::kOwnInputName);
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
        report(PortErrorCode::DeviceNotFound, texts::noDeviceNumber(PortSide::Input, deviceIndex_));
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
    tellOpened(backend_);
}

// The device list and index stay as the program set them, so the setup
// dialog's choice still means what it meant.
bool MidiInputPort::reopen(const std::string& source, bool started) {
    if (state_ != PORT_STATE_CLOSED || backend_.openInput(source)) {
        return false;
    }
    queue_->clear();
    state_ = PORT_STATE_OPEN;
    tellOpened(backend_);
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
    tellClosed(backend_);
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
        // With no MIDI system, that is why the port is closed, and it is
        // said once for both ports.
        if (std::optional<QString> reason; !backend_.checkReachable(reason)) {
            if (reason) {
                report(PortErrorCode::NoMidiSystem, *reason);
            }
            return;
        }
        report(PortErrorCode::PortNotOpen, texts::notOpen(PortSide::Input, rejoin_->awaitedName()));
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
    std::chrono::steady_clock::time_point batchStart;
    const bool hadSome = state_ == PORT_STATE_STARTED && queue_->size() > 0;
    if (hadSome) {
        const std::size_t takenBefore = queue_->takenCount();
        RunningBatch batch;
        passOn(&batch);
        yielded = batch.yielded;
        tookSome = queue_->takenCount() != takenBefore;
        // A batch yields only once its deadline is set.
        batchStart =
            batch.deadline.value_or(std::chrono::steady_clock::time_point{}) - kBatchBudget;
    }
    tellScheduling(yielded, batchStart, tookSome && queue_->size() == 0);
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
        report(PortErrorCode::InputOverflow, texts::incomingLost(lost));
    }
}

// A flood keeps the pump yielding batch after batch; the window thread's
// scheduling bounds how long it may do so above the programs beside it.
void MidiInputPort::tellScheduling(bool yielded, std::chrono::steady_clock::time_point batchStart,
                                   bool drained) {
    WindowThreadScheduling* scheduling = backend_.windowThreadScheduling();
    if (scheduling == nullptr) {
        return;
    }
    if (yielded) {
        scheduling->pumpBusy(batchStart);
    } else if (drained) {
        scheduling->pumpDrained();
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
    report(PortErrorCode::ConnectionLost, texts::deviceLeft(side, name));
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

}  // namespace keyflip
