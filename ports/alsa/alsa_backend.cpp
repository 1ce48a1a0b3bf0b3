// Thread crossings. The backend is one sequencer client, "Keyflip", with the
// ports "in" and "out" and a hidden port that receives the sequencer's System
// Announce events. Two threads share the client's one handle, each with its
// own part of it: the UI thread makes every query, connection and send (ioctls
// and direct writes, which use no buffer of the handle), and the reader
// thread (AlsaReader), started with the backend and stopped with it, is the
// only one that reads events. The reader turns each MIDI event arriving at
// "in" into bytes, pushes them into the input port's IncomingQueue and wakes
// the UI thread through the queue's own descriptor, as the JACK backend does;
// input overruns it counts into the same queue. An announcement that a client
// or port came, left or was renamed only sets a flag and signals the
// backend's wake-up descriptor, whose QSocketNotifier runs the check, and any
// signal, on the UI thread.
// The reader holds its delivery mutex while it uses the queue, and its
// setters take the same mutex, so setInputQueue and closeInput know, once
// they return, that the old queue is left alone. Nothing on the reader thread
// calls Qt.
#include "alsa_backend.h"

#include "alsa_check.h"
#include "alsa_client.h"
#include "alsa_input.h"
#include "alsa_observer.h"
#include "alsa_peers.h"

#include "incoming_queue.h"
#include "midi_status.h"
#include "port_texts.h"
#include "thread_crossing.h"
#include "wire_format.h"

#include <alsa/asoundlib.h>

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace keyflip {

namespace {

using alsa::AlsaFailure;
using alsa::check;
using alsa::ConnectedPeer;
using alsa::kArrivals;
using alsa::kDepartures;
using alsa::kDestinationCaps;
using alsa::kSourceCaps;
using alsa::kSubscriptions;
using alsa::makeCodec;
using alsa::MidiCodec;
using alsa::PeerPort;

// Outgoing messages the sequencer could not take at once, held in order
// until it can. Bounded so a destination that never drains cannot grow the
// program without limit; beyond it send() refuses.
constexpr std::size_t kHeldLimit = std::size_t{1} << 18;
// How soon held output is tried again, the first time and at the most.
constexpr std::chrono::milliseconds kShortestRetryWait{1};
constexpr std::chrono::milliseconds kLongestRetryWait{16};

class AlsaBackend final : public MidiBackend {
public:
    explicit AlsaBackend(alsa::OpenClient client)
        : client_(std::move(client)),
          sequencer_(client_.sequencer.get()),
          peers_(sequencer_, client_.ports.client),
          encoder_(makeCodec()),
          reader_(sequencer_, client_.ports, crossing_) {
        if (!encoder_) {
            throw std::runtime_error(texts::kAlsaCodecsFailed);
        }
        crossing_.setHandler([this] { onWake(); });
        retryTimer_.setSingleShot(true);
        connect(&retryTimer_, &QTimer::timeout, this, [this] { sendHeld(); });
        reader_.start();
    }

    ~AlsaBackend() override {
        if (outputOpen_) {
            flushOutput(kCloseFlushLimit);
        }
        reader_.stop();
        crossing_.setHandler({});
        retryTimer_.stop();
    }

    QString systemName() const override { return QStringLiteral("ALSA sequencer"); }
    std::optional<QString> unreachableReason() override { return std::nullopt; }

    std::vector<std::string> sourceNames() override {
        return alsa::names(peers_.peerPorts(kSourceCaps));
    }
    std::vector<std::string> destinationNames() override {
        return alsa::names(peers_.peerPorts(kDestinationCaps));
    }

    bool isListed(PortSide side, const std::string& name) override {
        return std::ranges::any_of(
            peers_.peerPorts(side == PortSide::Input ? kSourceCaps : kDestinationCaps),
            [&](const PeerPort& port) { return alsa::answersTo(port, name); });
    }

    std::optional<PortFault> openInput(const std::string& source) override {
        closeInput();
        // Nothing would ever arrive: say so rather than open a silent input.
        if (reader_.failed()) {
            return PortFault{PortErrorCode::ConnectionLost, texts::alsaReaderFailed()};
        }
        if (!source.empty()) {
            auto peer = peers_.find(source, kSourceCaps, PortSide::Input);
            if (!peer) {
                return peer.error;
            }
            const std::optional<AlsaFailure> failed =
                check(snd_seq_connect_from(sequencer_, client_.ports.in, peer.port.address.client,
                                           peer.port.address.port),
                      "snd_seq_connect_from");
            if (failed && failed->error != -EBUSY) {
                return connectFault(source, PortSide::Input, *failed);
            }
            inputSource_ = ConnectedPeer{peer.port.name, peer.port};
        }
        inputOpen_ = true;
        reader_.setDelivering(true);
        return std::nullopt;
    }

    void closeInput() override {
        if (!inputOpen_) {
            return;
        }
        reader_.setDelivering(false);
        if (auto source = std::exchange(inputSource_, std::nullopt)) {
            // Fails only when the source has left already, which is what
            // the call is for.
            [[maybe_unused]] const auto failed = check(
                snd_seq_disconnect_from(sequencer_, client_.ports.in, source->handle.address.client,
                                        source->handle.address.port),
                "snd_seq_disconnect_from");
        }
        inputOpen_ = false;
    }

    void setInputQueue(IncomingQueue* queue) override { reader_.setQueue(queue); }

    std::optional<PortFault> openOutput(const std::string& destination) override {
        closeOutput();
        if (!destination.empty()) {
            auto peer = peers_.find(destination, kDestinationCaps, PortSide::Output);
            if (!peer) {
                return peer.error;
            }
            const std::optional<AlsaFailure> failed =
                check(snd_seq_connect_to(sequencer_, client_.ports.out, peer.port.address.client,
                                         peer.port.address.port),
                      "snd_seq_connect_to");
            if (failed && failed->error != -EBUSY) {
                return connectFault(destination, PortSide::Output, *failed);
            }
            outputDestination_ = ConnectedPeer{peer.port.name, peer.port};
        }
        outputOpen_ = true;
        refreshConnections();
        return std::nullopt;
    }

    void closeOutput() override {
        if (!outputOpen_) {
            return;
        }
        flushOutput(kCloseFlushLimit);
        outputOpen_ = false;
        // What the flush could not get out must not reach the next destination.
        dropHeld();
        if (auto destination = std::exchange(outputDestination_, std::nullopt)) {
            // Fails only when the destination has left already.
            [[maybe_unused]] const auto failed =
                check(snd_seq_disconnect_to(sequencer_, client_.ports.out,
                                            destination->handle.address.client,
                                            destination->handle.address.port),
                      "snd_seq_disconnect_to");
        }
        refreshConnections();
    }

    // What the sequencer never took; the output port corrects its count of
    // sounding notes from it. With several connections a message may have
    // reached some and not others: a Note On counts as never sent only when
    // it reached none, anything else (a Note Off above all) when it missed
    // any, so that the count never forgets a note that sounds somewhere.
    std::vector<WireMessage> discardOutput() override {
        std::map<std::uint64_t, std::pair<WireMessage, std::size_t>> missed;
        for (Connection& connection : connections_) {
            for (const HeldMessage& held : connection.held) {
                ++missed.try_emplace(held.number, held.message, 0).first->second.second;
            }
            connection.held.clear();
        }
        watchForRoom(false);
        std::vector<WireMessage> dropped;
        for (const auto& [number, entry] : missed) {
            const auto& [message, connectionsMissed] = entry;
            const bool noteOn = message.size == 3 &&
                                (message.bytes[0] & midi::kClassMask) == midi::kNoteOn &&
                                message.bytes[2] > 0;
            if (!noteOn || connectionsMissed == connections_.size()) {
                dropped.push_back(message);
            }
        }
        return dropped;
    }

    // True when the message reached, or waits for, at least one connection
    // (or there is none to reach).
    bool send(const WireMessage& message) override {
        snd_seq_event_t event;
        if (!outputOpen_ || message.size == 0 || message.size > message.bytes.size() ||
            !encode(message, event)) {
            return false;
        }
        // A connection a patchbay just made or took away counts from now on,
        // if the reader has heard of it, even before the UI thread's loop has.
        if (crossing_.takeFlag(kSubscriptions)) {
            refreshConnections();
        }
        const std::uint64_t number = nextNumber_++;
        std::size_t taken = 0;
        bool anyGone = false;
        for (Connection& connection : connections_) {
            // Once anything waits, everything after it waits too: order first.
            if (!connection.held.empty()) {
                if (connection.held.size() < kHeldLimit) {
                    connection.held.push_back({number, message});
                    ++taken;
                }
                continue;
            }
            switch (write(event, connection.address)) {
                case Written::Sent:
                    ++taken;
                    break;
                case Written::Refused:
                    break;
                case Written::NoRoom:
                    connection.held.push_back({number, message});
                    watchForRoom(true);
                    ++taken;
                    break;
                case Written::Gone:
                    connection.gone = true;
                    anyGone = true;
                    break;
            }
        }
        // A connection whose destination has left counts as none: nothing
        // was refused there, there is no one to refuse.
        if (anyGone) {
            forgetGoneConnections();
        }
        if (taken == connections_.size()) {
            return true;
        }
        // Refused by every connection: the output port says so. Refused by
        // some only: that loss is told once the running handler is done, as
        // the box that tells it runs the event loop.
        if (taken == 0) {
            return false;
        }
        if (std::exchange(partlyLost_, partlyLost_ + connections_.size() - taken) == 0) {
            QMetaObject::invokeMethod(
                this, [this] { emit outgoingLost(std::exchange(partlyLost_, 0)); },
                Qt::QueuedConnection);
        }
        return true;
    }

    void flushOutput(std::chrono::milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!sendHeld()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return;
            }
            std::this_thread::sleep_for(std::min(left, kLongestRetryWait));
        }
    }

private:
    // Gone: the destination has left; the sequencer's announcement that the
    // connection went with it may not have been read yet.
    enum class Written { Sent, NoRoom, Refused, Gone };

    struct HeldMessage {
        std::uint64_t number;  // in the order sent, over all connections
        WireMessage message;
    };

    // One port that "out" is connected to: the destination chosen, or one a
    // patchbay connected. Each is sent to by its address, so what one has no
    // room for waits for that one alone; sent to the subscribers as a whole,
    // a message one of them refused would, when sent again, reach the
    // others twice.
    struct Connection {
        snd_seq_addr_t address{};
        std::deque<HeldMessage> held;  // what it had no room for yet, in order
        bool gone = false;
    };

    void onWake() {
        crossing_.acknowledge();
        if (reader_.failed() && !readerFailureReported_) {
            readerFailureReported_ = true;
            reportReaderFailure();
        }
        if (crossing_.takeFlag(kSubscriptions)) {
            refreshConnections();
        }
        if (crossing_.takeFlag(kDepartures)) {
            checkConnections();
        }
        if (crossing_.takeFlag(kArrivals)) {
            emit peersChanged();
        }
    }

    void reportReaderFailure() {
        if (inputOpen_) {
            closeInput();
            emit connectionLost(PortSide::Input, PortErrorCode::ConnectionLost,
                                texts::alsaReaderFailed());
        }
    }

    // The state is made consistent before a signal goes out, since a slot
    // may well call back in to close or reopen.
    void checkConnections() {
        const alsa::Departures left =
            alsa::markDepartures(peers_, inputSource_, outputDestination_);
        if (left.destination) {
            // Nothing can reach it any more; the one box says why.
            refreshConnections();
        }
        if (left.source) {
            emit peerLeft(PortSide::Input, *left.source);
        }
        if (left.destination) {
            emit peerLeft(PortSide::Output, *left.destination);
        }
    }

    static PortFault connectFault(const std::string& name, PortSide side,
                                  const AlsaFailure& failure) {
        return {PortErrorCode::DeviceOpenFailed,
                texts::deviceNotConnected(side, name, alsa::alsaText(failure.error))};
    }

    bool encode(const WireMessage& message, snd_seq_event_t& event) {
        snd_seq_ev_clear(&event);
        snd_midi_event_reset_encode(encoder_.get());
        const long used =
            snd_midi_event_encode(encoder_.get(), message.bytes.data(), message.size, &event);
        if (check(used, "snd_midi_event_encode") || used != message.size ||
            event.type == SND_SEQ_EVENT_NONE) {
            return false;
        }
        snd_seq_ev_set_source(&event, static_cast<unsigned char>(client_.ports.out));
        snd_seq_ev_set_direct(&event);
        return true;
    }

    Written write(snd_seq_event_t& event, const snd_seq_addr_t& to) {
        snd_seq_ev_set_dest(&event, to.client, to.port);
        const std::optional<AlsaFailure> failed =
            check(snd_seq_event_output_direct(sequencer_, &event), "snd_seq_event_output_direct");
        if (!failed) {
            return Written::Sent;
        }
        if (failed->error == -ENOENT) {
            return Written::Gone;
        }
        return failed->error == -EAGAIN || failed->error == -ENOMEM ? Written::NoRoom
                                                                    : Written::Refused;
    }

    // What waited for a destination that left can reach nothing.
    void forgetGoneConnections() {
        if (std::erase_if(connections_, [](const Connection& c) { return c.gone; }) > 0) {
            watchForRoom(anyHeld());
        }
    }

    // The ports "out" is connected to now, each keeping what it still waits
    // for. Asked again whenever the sequencer announces a change, so a
    // connection a patchbay makes gets what is sent after the UI thread has
    // heard of it.
    void refreshConnections() {
        std::vector<Connection> now;
        snd_seq_query_subscribe_t* query = nullptr;
        snd_seq_query_subscribe_alloca(&query);
        snd_seq_addr_t root{};
        root.client = static_cast<unsigned char>(client_.ports.client);
        root.port = static_cast<unsigned char>(client_.ports.out);
        snd_seq_query_subscribe_set_root(query, &root);
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
        snd_seq_query_subscribe_set_index(query, 0);
        // The query ends the walk with an error, which is how it says "no more".
        while (!check(snd_seq_query_port_subscribers(sequencer_, query),
                      "snd_seq_query_port_subscribers")) {
            const snd_seq_addr_t address = *snd_seq_query_subscribe_get_addr(query);
            const auto known = std::ranges::find_if(connections_, [&](const Connection& c) {
                return c.address.client == address.client && c.address.port == address.port;
            });
            now.push_back(known != connections_.end() ? std::move(*known)
                                                      : Connection{address, {}});
            snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
        }
        // What waited for a connection that is gone can reach nothing.
        connections_ = std::move(now);
        watchForRoom(anyHeld());
    }

    bool anyHeld() const {
        return std::ranges::any_of(connections_,
                                   [](const Connection& c) { return !c.held.empty(); });
    }

    // Sends what is held, in order; true when nothing is held any more.
    bool sendHeld() {
        std::uint64_t refused = 0;
        bool progress = false;
        for (Connection& connection : connections_) {
            while (!connection.held.empty()) {
                snd_seq_event_t event;
                Written written = Written::Refused;
                if (encode(connection.held.front().message, event)) {
                    written = write(event, connection.address);
                }
                if (written == Written::NoRoom) {
                    break;
                }
                if (written == Written::Gone) {
                    connection.gone = true;
                    break;
                }
                refused += written == Written::Refused ? 1 : 0;
                connection.held.pop_front();
                progress = true;
            }
        }
        forgetGoneConnections();
        // A destination that took some is reading: look again soon.
        if (progress) {
            watchForRoom(false);
        }
        const bool held = anyHeld();
        watchForRoom(held);
        if (refused > 0) {
            emit outgoingLost(refused);
        }
        return !held;
    }

    void dropHeld() {
        std::size_t lost = 0;
        for (Connection& connection : connections_) {
            lost += connection.held.size();
            connection.held.clear();
        }
        watchForRoom(false);
        if (lost > 0) {
            emit outgoingLost(lost);
        }
    }

    // The sequencer says nothing when a destination has room again (the
    // descriptor's POLLOUT is about this client's own pool, which direct
    // events never use), so held messages are tried again on a timer: soon at
    // first, then less often while the destination stays full, so a
    // synthesizer that stops reading does not keep a CPU busy here.
    void watchForRoom(bool watch) {
        if (!watch) {
            retryTimer_.stop();
            retryWait_ = kShortestRetryWait;
            return;
        }
        if (!retryTimer_.isActive()) {
            retryTimer_.start(retryWait_);
            retryWait_ = std::min(retryWait_ * 2, kLongestRetryWait);
        }
    }

    alsa::OpenClient client_;
    snd_seq_t* const sequencer_;
    alsa::AlsaPeers peers_;

    // UI thread only.
    MidiCodec encoder_;
    std::optional<ConnectedPeer> inputSource_;
    std::optional<ConnectedPeer> outputDestination_;
    bool inputOpen_ = false;
    bool outputOpen_ = false;
    std::vector<Connection> connections_;
    std::uint64_t nextNumber_ = 0;
    std::uint64_t partlyLost_ = 0;
    QTimer retryTimer_;
    std::chrono::milliseconds retryWait_ = kShortestRetryWait;
    bool readerFailureReported_ = false;

    ThreadCrossing crossing_{texts::kBackendWakeFailed};
    alsa::AlsaReader reader_;
};

}  // namespace

std::unique_ptr<MidiBackend> createAlsaBackend() {
    auto client = alsa::openClient();
    if (!client) {
        return nullptr;
    }
    return std::make_unique<AlsaBackend>(std::move(*client));
}

}  // namespace keyflip
