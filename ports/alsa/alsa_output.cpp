#include "alsa_output.h"

#include "alsa_check.h"
#include "alsa_observer.h"

#include "midi_status.h"
#include "port_texts.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

namespace keyflip::alsa {

namespace {

// Outgoing messages the sequencer could not take at once, held in order
// until it can. Bounded so a destination that never drains cannot grow the
// program without limit; beyond it send() refuses.
constexpr std::size_t kHeldLimit = std::size_t{1} << 18;
// How soon held output is tried again, the first time and at the most.
constexpr std::chrono::milliseconds kShortestRetryWait{1};
constexpr std::chrono::milliseconds kLongestRetryWait{16};

}  // namespace

AlsaOutput::AlsaOutput(snd_seq_t* sequencer, const OwnPorts& own, ThreadCrossing& crossing)
    : sequencer_(sequencer),
      own_(own),
      crossing_(crossing),
      encoder_(makeCodec()),
      retryWait_(kShortestRetryWait) {
    if (!encoder_) {
        throw std::runtime_error(texts::kAlsaCodecsFailed);
    }
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, [this] { sendHeld(); });
}

void AlsaOutput::refreshConnections() {
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_addr_t root{};
    root.client = static_cast<unsigned char>(own_.client);
    root.port = static_cast<unsigned char>(own_.out);
    snd_seq_query_subscribe_set_root(query, &root);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    std::vector<snd_seq_addr_t> listed;
    std::optional<AlsaFailure> failed;
    for (int index = 0;; ++index) {
        snd_seq_query_subscribe_set_index(query, index);
        failed = check(snd_seq_query_port_subscribers(sequencer_, query),
                       "snd_seq_query_port_subscribers");
        if (failed) {
            break;
        }
        listed.push_back(*snd_seq_query_subscribe_get_addr(query));
    }
    // Past the last connection the query says there is no such entry. Any
    // other answer leaves the list unread: the connections known stay, with
    // what they hold, and it is asked again on the next send.
    listUnread_ = failed->error != -ENOENT;
    std::vector<Connection> now;
    std::vector<bool> kept(connections_.size(), false);
    for (const snd_seq_addr_t& address : listed) {
        const auto known = std::ranges::find_if(connections_, [&](const Connection& c) {
            return c.address.client == address.client && c.address.port == address.port;
        });
        if (known == connections_.end()) {
            now.push_back(Connection{address, {}});
            continue;
        }
        kept[static_cast<std::size_t>(known - connections_.begin())] = true;
        now.push_back(std::move(*known));
    }
    for (std::size_t index = 0; listUnread_ && index < connections_.size(); ++index) {
        if (!kept[index]) {
            now.push_back(std::move(connections_[index]));
        }
    }
    // What waited for a connection that is gone can reach nothing.
    connections_ = std::move(now);
    watchForRoom(anyHeld());
}

Delivery AlsaOutput::send(const WireMessage& message) {
    snd_seq_event_t event;
    if (message.size == 0 || message.size > message.bytes.size() || !encode(message, event)) {
        return Delivery::Refused;
    }
    // A connection a patchbay just made or took away counts from now on, if
    // the reader has heard of it, even before the UI thread's loop has.
    if (crossing_.takeFlag(kSubscriptions) || listUnread_) {
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
            case Written::Declined:
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
    // A connection whose destination has left counts as none: nothing was
    // refused there, there is no one to refuse.
    if (anyGone) {
        forgetGoneConnections();
    }
    if (taken == connections_.size()) {
        return Delivery::Everywhere;
    }
    // Refused by every connection: the output port says so. Refused by some
    // only: that loss is told once the running handler is done, as the box
    // that tells it runs the event loop.
    if (taken == 0) {
        return Delivery::Refused;
    }
    if (std::exchange(partlyLost_, partlyLost_ + connections_.size() - taken) == 0) {
        QMetaObject::invokeMethod(
            this, [this] { emit lost(std::exchange(partlyLost_, 0)); }, Qt::QueuedConnection);
    }
    return Delivery::Partly;
}

void AlsaOutput::flush(std::chrono::milliseconds limit) {
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

// With several connections a message may have reached some and not others: a
// Note On counts as never sent only when it reached none, anything else (a
// Note Off above all) when it missed any, so that the count never forgets a
// note that sounds somewhere.
std::vector<WireMessage> AlsaOutput::discard() {
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

void AlsaOutput::dropHeld() {
    std::size_t dropped = 0;
    for (Connection& connection : connections_) {
        dropped += connection.held.size();
        connection.held.clear();
    }
    watchForRoom(false);
    if (dropped > 0) {
        emit lost(dropped);
    }
}

bool AlsaOutput::encode(const WireMessage& message, snd_seq_event_t& event) {
    snd_seq_ev_clear(&event);
    snd_midi_event_reset_encode(encoder_.get());
    const long used =
        snd_midi_event_encode(encoder_.get(), message.bytes.data(), message.size, &event);
    if (check(used, "snd_midi_event_encode") || used != message.size ||
        event.type == SND_SEQ_EVENT_NONE) {
        return false;
    }
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(own_.out));
    snd_seq_ev_set_direct(&event);
    return true;
}

AlsaOutput::Written AlsaOutput::write(snd_seq_event_t& event, const snd_seq_addr_t& to) {
    snd_seq_ev_set_dest(&event, to.client, to.port);
    const std::optional<AlsaFailure> failed =
        check(snd_seq_event_output_direct(sequencer_, &event), "snd_seq_event_output_direct");
    if (!failed) {
        return Written::Sent;
    }
    // The sequencer says "no such port" also for an event the destination's
    // client does not take; only the port's absence means it left.
    if (failed->error == -ENOENT) {
        return portExists(to) ? Written::Declined : Written::Gone;
    }
    return failed->error == -EAGAIN || failed->error == -ENOMEM ? Written::NoRoom
                                                                : Written::Refused;
}

bool AlsaOutput::portExists(const snd_seq_addr_t& address) const {
    snd_seq_port_info_t* port = nullptr;
    snd_seq_port_info_alloca(&port);
    return !check(snd_seq_get_any_port_info(sequencer_, address.client, address.port, port),
                  "snd_seq_get_any_port_info");
}

// What waited for a destination that left can reach nothing.
void AlsaOutput::forgetGoneConnections() {
    if (std::erase_if(connections_, [](const Connection& c) { return c.gone; }) > 0) {
        watchForRoom(anyHeld());
    }
}

bool AlsaOutput::anyHeld() const {
    return std::ranges::any_of(connections_, [](const Connection& c) { return !c.held.empty(); });
}

// Sends what is held, in order; true when nothing is held any more.
bool AlsaOutput::sendHeld() {
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
        emit lost(refused);
    }
    return !held;
}

// The sequencer says nothing when a destination has room again (the
// descriptor's POLLOUT is about this client's own pool, which direct events
// never use), so held messages are tried again on a timer: soon at first,
// then less often while the destination stays full, so a synthesizer that
// stops reading does not keep a CPU busy here.
void AlsaOutput::watchForRoom(bool watch) {
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

}  // namespace keyflip::alsa
