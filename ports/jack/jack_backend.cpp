// Thread crossings. JACK's process thread runs process() once a period: it
// pushes what arrived at "in" into the input port's IncomingQueue, stamps
// each message's arrival frame (ArrivalStamps) and wakes the UI thread
// through the queue's descriptor; then it writes what the UI thread put into
// the OutgoingRing to "out". libjack's notification threads only set a flag
// and signal the backend's own wake-up descriptor, whose QSocketNotifier
// handles a server that stopped, a device that left or one that appeared, on
// the UI thread. Everything else, opening, connecting and sending, runs on
// the UI thread, which swaps what the process thread reads with seq_cst
// stores and then waits until no callback that began before is running.
#include "jack_backend.h"

#include "jack_client.h"
#include "jack_input.h"
#include "jack_outgoing_ring.h"
#include "jack_peers.h"
#include "jack_process_gate.h"
#include "jack_status_text.h"

#include "incoming_queue.h"
#include "port_texts.h"
#include "thread_crossing.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace keyflip {

namespace {

// How long teardown waits for libjack to finish reporting the server's end.
constexpr std::chrono::milliseconds kShutdownReportLimit{2000};
// How often the UI thread looks whether a long outgoing backlog has drained.
constexpr std::chrono::milliseconds kBacklogCheckInterval{200};

// What libjack's threads tell the UI thread.
enum CrossingFlag : std::uint32_t {
    kServerGone = 1U << 0,
    kGraphChanged = 1U << 1,
    kPortsAppeared = 1U << 2,
};

using jack::closeClient;
using jack::ConnectedPeer;
using jack::OutgoingRing;
using jack::OutgoingSlot;
using jack::waitUntil;

class JackBackend final : public MidiBackend, private jack::ClientEvents {
public:
    JackBackend(JackOutputTiming timing, JackSelection selection)
        : timing_(timing), selection_(selection), input_(gate_) {
        crossing_.setHandler([this] { onWake(); });
        // The pages a long backlog touched go back once it has drained, also
        // when no message follows it; nothing runs here otherwise.
        backlogTimer_.setSingleShot(true);
        backlogTimer_.setInterval(kBacklogCheckInterval);
        connect(&backlogTimer_, &QTimer::timeout, this, [this] {
            if (!outgoing_.giveBackIfDrained()) {
                backlogTimer_.start();
            }
        });
    }

    JackPortTraffic traffic() const noexcept {
        return {input_.receivedCount(), written_.load(std::memory_order_relaxed),
                lateCycles_.load(std::memory_order_relaxed)};
    }

    // The order the JACK test kit keeps: deactivate, then close. If the server
    // has just died, libjack's own thread may still be reporting it, and
    // closing would cancel that thread wherever it is, perhaps holding a libc
    // lock that then stays taken; so the report is awaited first, for a while.
    ~JackBackend() override {
        if (client_ != nullptr) {
            if (!crossing_.isRaised(kServerGone)) {
                flushOutput(kCloseFlushLimit);
                if (jack_deactivate(client_) != 0) {
                    waitUntil([this] { return crossing_.isRaised(kServerGone); },
                              kShutdownReportLimit);
                }
            }
            closeClient(client_);
        }
        crossing_.setHandler({});
    }

    QString systemName() const override { return QStringLiteral("JACK"); }

    std::optional<QString> unreachableReason() override {
        if (ensureClient()) {
            return std::nullopt;
        }
        return jackOpenFailureText(openStatus_, selection_);
    }

    std::vector<std::string> sourceNames() override { return peerPorts(JackPortIsOutput); }
    std::vector<std::string> destinationNames() override { return peerPorts(JackPortIsInput); }

    std::optional<PortFault> openInput(const std::string& source) override {
        if (!ensureClient()) {
            return PortFault{PortErrorCode::NoMidiSystem,
                             jackOpenFailureText(openStatus_, selection_)};
        }
        closeInput();
        if (!source.empty()) {
            if (auto fault = peers_.connect(client_, source, JackPortIsOutput, PortSide::Input)) {
                return fault;
            }
            inputSource_ = {source, jack_port_by_name(client_, source.c_str())};
        }
        inputOpen_ = true;
        input_.setDelivering(true);
        return std::nullopt;
    }

    void closeInput() override {
        if (!inputOpen_) {
            return;
        }
        input_.setDelivering(false);
        gate_.waitOutside();
        peers_.disconnect(client_, std::exchange(inputSource_, {}), PortSide::Input);
        inputOpen_ = false;
    }

    void setInputQueue(IncomingQueue* queue) override { input_.setQueue(queue); }

    std::optional<PortFault> openOutput(const std::string& destination) override {
        if (!ensureClient()) {
            return PortFault{PortErrorCode::NoMidiSystem,
                             jackOpenFailureText(openStatus_, selection_)};
        }
        closeOutput();
        if (!destination.empty()) {
            if (auto fault =
                    peers_.connect(client_, destination, JackPortIsInput, PortSide::Output)) {
                return fault;
            }
            outputDestination_ = {destination, jack_port_by_name(client_, destination.c_str())};
        }
        outputOpen_ = true;
        return std::nullopt;
    }

    void closeOutput() override {
        if (!outputOpen_) {
            return;
        }
        flushOutput(kCloseFlushLimit);
        outputOpen_ = false;
        // What the flush could not get out must not reach the next destination.
        outgoing_.discardPending();
        flushedUpTo_ = outgoing_.pushedCount();
        reportedUpTo_ = flushedUpTo_;
        peers_.disconnect(client_, std::exchange(outputDestination_, {}), PortSide::Output);
    }

    bool send(const WireMessage& message) override {
        if (!outputOpen_ || message.size == 0 || message.size > message.bytes.size()) {
            return false;
        }
        const bool pushed = outgoing_.push({message, dueFrame()});
        if (outgoing_.holdsBacklogPages() && !backlogTimer_.isActive()) {
            backlogTimer_.start();
        }
        return pushed;
    }

    // The process callback is held off while the ring is read, so what is
    // returned is exactly what will never be sent.
    std::vector<WireMessage> discardOutput() override {
        holdOutput_.store(true, std::memory_order_seq_cst);
        gate_.waitOutside();
        const std::size_t end = outgoing_.pushedCount();
        std::vector<WireMessage> dropped;
        for (std::size_t index = std::max(outgoing_.consumedCount(), reportedUpTo_); index < end;
             ++index) {
            dropped.push_back(outgoing_.messageAt(index));
        }
        outgoing_.discardPending();
        reportedUpTo_ = end;
        flushedUpTo_ = end;
        holdOutput_.store(false, std::memory_order_seq_cst);
        return dropped;
    }

    void flushOutput(std::chrono::milliseconds limit) override {
        const std::size_t target = outgoing_.pushedCount();
        if (client_ == nullptr || target == flushedUpTo_) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + limit;
        const auto stopped = [this] { return crossing_.isRaised(kServerGone); };
        if (!waitUntil([&] { return outgoing_.consumedUpTo(target); }, stopped, deadline)) {
            return;
        }
        // The cycle that took the last message may still be running; once the
        // one after it has finished, the whole graph has read that buffer.
        const std::uint64_t cycle = gate_.cycles();
        if (waitUntil([&] { return gate_.cycles() >= cycle + 2; }, stopped, deadline)) {
            flushedUpTo_ = target;
        }
    }

private:
    // libjack's threads only set a flag and wake the UI thread.
    void serverGone(bool droppedByServer) noexcept override {
        droppedByServer_.store(droppedByServer, std::memory_order_relaxed);
        crossing_.raise(kServerGone);
    }
    void graphChanged() noexcept override { crossing_.raise(kGraphChanged); }
    void portsAppeared() noexcept override { crossing_.raise(kPortsAppeared); }

    // JACK's process thread: never blocks, never allocates.
    void process(jack_nframes_t frames) noexcept override {
        gate_.enter();
        jack_client_t* client = processClient_.load(std::memory_order_acquire);
        input_.receive(client, frames);
        transmit(frames);
        if (jack_frames_since_cycle_start(client) >= frames) {
            lateCycles_.fetch_add(1, std::memory_order_relaxed);
        }
        gate_.leave();
    }

    // UI thread. The pump sends while the message it answers is first in the
    // input queue, so that message's arrival frame, one period on, is when
    // its answer is due. Anything else is due at once.
    jack_nframes_t dueFrame() const noexcept {
        const jack_nframes_t now = client_ != nullptr ? jack_frame_time(client_) : 0;
        if (timing_ != JackOutputTiming::KeepOffset || client_ == nullptr) {
            return now;
        }
        const std::optional<jack_nframes_t> arrival = input_.frontArrival();
        return arrival ? *arrival + jack_get_buffer_size(client_) : now;
    }

    void transmit(jack_nframes_t frames) noexcept {
        void* buffer = jack_port_get_buffer(outPort_.load(std::memory_order_acquire), frames);
        jack_midi_clear_buffer(buffer);
        const jack_nframes_t cycleStart =
            jack_last_frame_time(processClient_.load(std::memory_order_acquire));
        if (holdOutput_.load(std::memory_order_seq_cst)) {
            return;
        }
        const bool keepOffset = timing_ == JackOutputTiming::KeepOffset;
        jack_nframes_t earliest = 0;
        std::uint64_t written = 0;
        // Checking the room first keeps JACK from counting a refused event as lost.
        outgoing_.consume([&](const OutgoingSlot& slot) {
            const WireMessage& message = slot.message;
            jack_nframes_t offset = 0;
            if (keepOffset) {
                // Late ones go at once; frame times wrap, so compare the difference.
                const auto ahead = static_cast<std::int32_t>(slot.due - cycleStart);
                const auto period = static_cast<std::int32_t>(frames);
                if (ahead >= period && ahead < 2 * period) {
                    // Sent so quickly that the cycle it answers is still running.
                    return false;
                }
                offset = ahead <= 0 || ahead >= period ? 0 : static_cast<jack_nframes_t>(ahead);
                // Events in a buffer must never go back in time.
                offset = std::max(offset, earliest);
            }
            if (jack_midi_max_event_size(buffer) < message.size ||
                jack_midi_event_write(buffer, offset, message.bytes.data(), message.size) != 0) {
                return false;
            }
            earliest = offset;
            ++written;
            return true;
        });
        written_.fetch_add(written, std::memory_order_relaxed);
    }

    bool ensureClient() {
        if (crossing_.isRaised(kServerGone)) {
            handleServerGone();
        }
        if (client_ != nullptr) {
            return true;
        }
        const auto opened =
            jack::openClient(*this, openStatus_, [this](const jack::OpenedClient& client) {
                input_.publishPort(client.in);
                outPort_.store(client.out, std::memory_order_release);
                processClient_.store(client.client, std::memory_order_release);
            });
        if (!opened) {
            return false;
        }
        client_ = opened->client;
        peers_.attach(*opened);
        return true;
    }

    void onWake() {
        crossing_.acknowledge();
        if (crossing_.isRaised(kServerGone)) {
            handleServerGone();
            return;
        }
        if (crossing_.takeFlag(kGraphChanged)) {
            checkConnections();
        }
        if (crossing_.takeFlag(kPortsAppeared)) {
            emit peersChanged();
        }
    }

    // The state is made consistent before any signal goes out, since a slot
    // may well call back in to close or reopen.
    void handleServerGone() {
        crossing_.clearFlags();
        const QString text =
            texts::jackServerGone(droppedByServer_.load(std::memory_order_relaxed));
        const bool inputWasOpen = std::exchange(inputOpen_, false);
        const bool outputWasOpen = std::exchange(outputOpen_, false);
        input_.setDelivering(false);
        inputSource_ = {};
        outputDestination_ = {};
        if (client_ != nullptr) {
            // Its threads have stopped, so closing it here is safe; and it must
            // be closed before a new client opens, for libjack then frees every
            // client of the dead server and this handle would dangle.
            closeClient(std::exchange(client_, nullptr));
        }
        gate_.clientClosed();
        // Left for discardOutput to report, so the output port knows which
        // of its notes never went out.
        outgoing_.discardPending();
        flushedUpTo_ = outgoing_.pushedCount();
        // The output first: the input passes on what had arrived, and its
        // messages must find the output closed rather than failing to send.
        if (outputWasOpen) {
            emit connectionLost(PortSide::Output, PortErrorCode::ConnectionLost, text);
        }
        if (inputWasOpen) {
            emit connectionLost(PortSide::Input, PortErrorCode::ConnectionLost, text);
        }
    }

    void checkConnections() {
        if (client_ == nullptr) {
            return;
        }
        if (jack::Peers::leftNow(client_, inputSource_)) {
            emit peerLeft(PortSide::Input, inputSource_.name);
        }
        if (client_ != nullptr && jack::Peers::leftNow(client_, outputDestination_)) {
            emit peerLeft(PortSide::Output, outputDestination_.name);
        }
    }

    std::vector<std::string> peerPorts(unsigned long direction) {
        if (!ensureClient()) {
            return {};
        }
        return peers_.list(client_, direction);
    }

    const JackOutputTiming timing_;
    const JackSelection selection_;

    // UI thread only.
    jack_client_t* client_ = nullptr;
    jack::Peers peers_;
    ConnectedPeer inputSource_;
    ConnectedPeer outputDestination_;
    // What the last attempt to open the client said, for the reason shown.
    jack_status_t openStatus_{};
    bool inputOpen_ = false;
    bool outputOpen_ = false;
    std::size_t flushedUpTo_ = 0;
    std::size_t reportedUpTo_ = 0;  // ring messages discardOutput has accounted for

    // Shared with JACK's threads.
    std::atomic<jack_port_t*> outPort_{nullptr};
    std::atomic<jack_client_t*> processClient_{nullptr};
    jack::ProcessGate gate_;
    jack::Input input_;
    std::atomic<bool> holdOutput_{false};  // the callback leaves the outgoing ring alone
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> lateCycles_{0};
    std::atomic<bool> droppedByServer_{false};  // a live server gave up on us
    OutgoingRing outgoing_;

    ThreadCrossing crossing_{texts::kBackendWakeFailed};
    QTimer backlogTimer_;
};

}  // namespace

std::unique_ptr<MidiBackend> createJackBackend(JackOutputTiming timing, JackSelection selection) {
    return std::make_unique<JackBackend>(timing, selection);
}

std::optional<JackPortTraffic> jackPortTraffic(const MidiBackend& backend) {
    if (const auto* jackBackend = dynamic_cast<const JackBackend*>(&backend)) {
        return jackBackend->traffic();
    }
    return std::nullopt;
}

}  // namespace keyflip
