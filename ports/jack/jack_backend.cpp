// Thread crossings. JACK's process thread runs JackBackend::process() once a
// period: jack::Input pushes what arrived at "in" into the input port's
// IncomingQueue, stamps each message's arrival frame (ArrivalStamps) and
// wakes the UI thread through the queue's ThreadCrossing; then jack::Output
// writes what the UI thread put into the OutgoingRing to "out". libjack's
// notification threads (wired in jack_client.cpp) only raise a flag on the
// backend's own ThreadCrossing, whose handler deals with a server that
// stopped, a device that left or one that appeared, on the UI thread.
// Everything else, opening, connecting (jack::Peers) and sending, runs on the
// UI thread, which swaps what the process thread reads with seq_cst stores
// and then waits, through jack::ProcessGate, until no callback that began
// before is running.
#include "jack_backend.h"

#include "jack_client.h"
#include "jack_input.h"
#include "jack_output.h"
#include "jack_peers.h"
#include "jack_process_gate.h"
#include "jack_status_text.h"

#include "incoming_queue.h"
#include "port_texts.h"
#include "thread_crossing.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace keyflip {

namespace {

// How long teardown waits for libjack to finish reporting the server's end.
constexpr std::chrono::milliseconds kShutdownReportLimit{2000};

// What libjack's threads tell the UI thread.
enum CrossingFlag : std::uint32_t {
    kServerGone = 1U << 0,
    kGraphChanged = 1U << 1,
    kPortsAppeared = 1U << 2,
    // The port of the source or the destination connected left.
    kSourcePortLeft = 1U << 3,
    kDestinationPortLeft = 1U << 4,
};

// No port is watched: JACK's port numbers are 32 bits.
constexpr std::uint64_t kNoPort = UINT64_MAX;

using jack::closeClient;
using jack::ConnectedPeer;
using jack::waitUntil;

class JackBackend final : public MidiBackend, private jack::ClientEvents {
public:
    JackBackend(JackOutputTiming timing, JackSelection selection, QString whySequencerClosed)
        : timing_(timing),
          selection_(selection),
          whySequencerClosed_(std::move(whySequencerClosed)),
          input_(gate_),
          output_(timing, gate_) {
        crossing_.setHandler([this] { onWake(); });
    }

    JackPortTraffic traffic() const noexcept {
        return {input_.receivedCount(), output_.writtenCount(),
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
        return jackOpenFailureText(openStatus_, selection_, whySequencerClosed_);
    }

    std::vector<std::string> sourceNames() override { return peerPorts(JackPortIsOutput); }
    std::vector<std::string> destinationNames() override { return peerPorts(JackPortIsInput); }

    std::optional<PortFault> openInput(const std::string& source) override {
        if (!ensureClient()) {
            return PortFault{PortErrorCode::NoMidiSystem,
                             jackOpenFailureText(openStatus_, selection_, whySequencerClosed_)};
        }
        closeInput();
        if (!source.empty()) {
            auto connected = peers_.connect(client_, source, JackPortIsOutput, PortSide::Input);
            if (auto* fault = std::get_if<PortFault>(&connected)) {
                return std::move(*fault);
            }
            inputSource_ = std::get<ConnectedPeer>(std::move(connected));
            watch(sourcePort_, kSourcePortLeft, inputSource_);
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
        sourcePort_.store(kNoPort, std::memory_order_release);
        peers_.disconnect(client_, std::exchange(inputSource_, {}), PortSide::Input);
        inputOpen_ = false;
    }

    void setInputQueue(IncomingQueue* queue) override { input_.setQueue(queue); }

    std::optional<PortFault> openOutput(const std::string& destination) override {
        if (!ensureClient()) {
            return PortFault{PortErrorCode::NoMidiSystem,
                             jackOpenFailureText(openStatus_, selection_, whySequencerClosed_)};
        }
        closeOutput();
        if (!destination.empty()) {
            auto connected =
                peers_.connect(client_, destination, JackPortIsInput, PortSide::Output);
            if (auto* fault = std::get_if<PortFault>(&connected)) {
                return std::move(*fault);
            }
            outputDestination_ = std::get<ConnectedPeer>(std::move(connected));
            watch(destinationPort_, kDestinationPortLeft, outputDestination_);
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
        output_.dropPending();
        destinationPort_.store(kNoPort, std::memory_order_release);
        peers_.disconnect(client_, std::exchange(outputDestination_, {}), PortSide::Output);
    }

    // Every connection reads the one port buffer, so a message reaches all
    // of them or none.
    Delivery dispatch(const WireMessage& message) override {
        if (!outputOpen_ || message.size == 0 || message.size > message.bytes.size()) {
            return Delivery::Refused;
        }
        return output_.send(message, dueFrame()) ? Delivery::Everywhere : Delivery::Refused;
    }

    std::vector<WireMessage> discardOutput() override { return output_.discard(); }

    void flushOutput(std::chrono::milliseconds limit) override {
        if (client_ == nullptr) {
            return;
        }
        output_.flush(limit, [this] { return crossing_.isRaised(kServerGone); });
    }

private:
    // libjack's threads only set a flag and wake the UI thread.
    void serverGone(bool droppedByServer) noexcept override {
        droppedByServer_.store(droppedByServer, std::memory_order_relaxed);
        crossing_.raise(kServerGone);
    }
    void graphChanged() noexcept override { crossing_.raise(kGraphChanged); }
    void portLeft(jack_port_id_t port) noexcept override {
        if (port == sourcePort_.load(std::memory_order_acquire)) {
            crossing_.raise(kSourcePortLeft);
        }
        if (port == destinationPort_.load(std::memory_order_acquire)) {
            crossing_.raise(kDestinationPortLeft);
        }
    }
    void portsAppeared() noexcept override { crossing_.raise(kPortsAppeared); }

    // JACK's process thread: never blocks, never allocates.
    void process(jack_nframes_t frames) noexcept override {
        gate_.enter();
        jack_client_t* client = processClient_.load(std::memory_order_acquire);
        input_.receive(client, frames);
        output_.transmit(client, frames);
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
                output_.publishPort(client.out);
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
        const bool sourcePortLeft = crossing_.takeFlag(kSourcePortLeft);
        const bool destinationPortLeft = crossing_.takeFlag(kDestinationPortLeft);
        if (crossing_.takeFlag(kGraphChanged) || sourcePortLeft || destinationPortLeft) {
            checkConnections(sourcePortLeft, destinationPortLeft);
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
        sourcePort_.store(kNoPort, std::memory_order_release);
        destinationPort_.store(kNoPort, std::memory_order_release);
        inputSource_ = {};
        outputDestination_ = {};
        if (client_ != nullptr) {
            // Its threads have stopped, so closing it here is safe; and it must
            // be closed before a new client opens, for libjack then frees every
            // client of the dead server and this handle would dangle.
            closeClient(std::exchange(client_, nullptr));
        }
        gate_.clientClosed();
        output_.skipPending();
        // The output first: the input passes on what had arrived, and its
        // messages must find the output closed rather than failing to send.
        if (outputWasOpen) {
            emit connectionLost(PortSide::Output, PortErrorCode::ConnectionLost, text);
        }
        if (inputWasOpen) {
            emit connectionLost(PortSide::Input, PortErrorCode::ConnectionLost, text);
        }
    }

    // A port that left and came back at once under its name resolves by
    // that name; only its leaving tells that the connection went with it.
    void checkConnections(bool sourcePortLeft, bool destinationPortLeft) {
        if (client_ == nullptr) {
            return;
        }
        if (peers_.leftNow(client_, inputSource_, sourcePortLeft, PortSide::Input)) {
            emit peerLeft(PortSide::Input, inputSource_.name);
        }
        if (client_ != nullptr &&
            peers_.leftNow(client_, outputDestination_, destinationPortLeft, PortSide::Output)) {
            emit peerLeft(PortSide::Output, outputDestination_.name);
        }
    }

    // The callback compares each port that leaves with the connected peer's;
    // a leaving told before the peer was connected is none of its.
    void watch(std::atomic<std::uint64_t>& port, CrossingFlag flag, const ConnectedPeer& peer) {
        const std::optional<jack_port_id_t> id = jack::Peers::portId(peer);
        port.store(id ? *id : kNoPort, std::memory_order_release);
        crossing_.takeFlag(flag);
    }

    std::vector<std::string> peerPorts(unsigned long direction) {
        if (!ensureClient()) {
            return {};
        }
        return peers_.list(client_, direction);
    }

    const JackOutputTiming timing_;
    const JackSelection selection_;
    const QString whySequencerClosed_;

    // UI thread only.
    jack_client_t* client_ = nullptr;
    jack::Peers peers_;
    ConnectedPeer inputSource_;
    ConnectedPeer outputDestination_;
    // What the last attempt to open the client said, for the reason shown.
    jack_status_t openStatus_{};
    bool inputOpen_ = false;
    bool outputOpen_ = false;

    // Shared with JACK's threads.
    std::atomic<jack_client_t*> processClient_{nullptr};
    std::atomic<std::uint64_t> lateCycles_{0};
    std::atomic<bool> droppedByServer_{false};  // a live server gave up on us
    // The ports of the source and the destination connected, or kNoPort.
    std::atomic<std::uint64_t> sourcePort_{kNoPort};
    std::atomic<std::uint64_t> destinationPort_{kNoPort};
    jack::ProcessGate gate_;
    jack::Input input_;
    jack::Output output_;

    ThreadCrossing crossing_{texts::kBackendWakeFailed};
};

}  // namespace

std::unique_ptr<MidiBackend> createJackBackend(JackOutputTiming timing, JackSelection selection,
                                               QString whySequencerClosed) {
    return std::make_unique<JackBackend>(timing, selection, std::move(whySequencerClosed));
}

std::optional<JackPortTraffic> jackPortTraffic(const MidiBackend& backend) {
    if (const auto* jackBackend = dynamic_cast<const JackBackend*>(&backend)) {
        return jackBackend->traffic();
    }
    return std::nullopt;
}

}  // namespace keyflip
