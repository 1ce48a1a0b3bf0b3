#include "alsa_observer.h"

namespace keyflip::alsa {

namespace {

// A patchbay connected "out" somewhere, or took a connection away.
bool connectsOut(const snd_seq_event_t& event, const OwnPorts& own) noexcept {
    return (event.type == SND_SEQ_EVENT_PORT_SUBSCRIBED ||
            event.type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED) &&
           event.data.connect.sender.client == own.client &&
           event.data.connect.sender.port == own.out;
}

// The watched port left, itself or with its client.
bool leaves(const snd_seq_event_t& event, int watched) noexcept {
    if (watched == kNoPeer) {
        return false;
    }
    const snd_seq_addr_t& gone = event.data.addr;
    return (event.type == SND_SEQ_EVENT_PORT_EXIT && packedAddress(gone) == watched) ||
           (event.type == SND_SEQ_EVENT_CLIENT_EXIT && gone.client == (watched >> 8));
}

}  // namespace

int packedAddress(const snd_seq_addr_t& address) noexcept {
    return (address.client << 8) | address.port;
}

std::uint32_t announcedChanges(const snd_seq_event_t& event, const OwnPorts& own,
                               const WatchedPeers& watched) noexcept {
    // A rename may end one name and bring another.
    const bool renamed =
        event.type == SND_SEQ_EVENT_CLIENT_CHANGE || event.type == SND_SEQ_EVENT_PORT_CHANGE;
    const bool left =
        event.type == SND_SEQ_EVENT_CLIENT_EXIT || event.type == SND_SEQ_EVENT_PORT_EXIT;
    const bool departure = renamed || left;
    const bool arrival = renamed || event.type == SND_SEQ_EVENT_PORT_START;
    // A port that leaves takes its connections with it without their own
    // announcement, and its address may soon be another's.
    const bool subscription = left || connectsOut(event, own);
    return (departure ? kDepartures : 0U) | (arrival ? kArrivals : 0U) |
           (subscription ? kSubscriptions : 0U) |
           (leaves(event, watched.source) ? kSourceLeft : 0U) |
           (leaves(event, watched.destination) ? kDestinationLeft : 0U);
}

// A port made again at once has the address and the name it had, so only
// its leaving tells that the connection went with it.
Departures markDepartures(const AlsaPeers& peers, std::optional<ConnectedPeer>& source,
                          std::optional<ConnectedPeer>& destination, bool sourceLeft,
                          bool destinationLeft) {
    const bool sourceGone =
        source && !source->left && (sourceLeft || !peers.stillThere(source->handle, kSourceCaps));
    const bool destinationGone =
        destination && !destination->left &&
        (destinationLeft || !peers.stillThere(destination->handle, kDestinationCaps));
    Departures departures;
    if (sourceGone && source->markLeft()) {
        departures.source = peers.awaitedName(source->handle);
    }
    if (destinationGone && destination->markLeft()) {
        departures.destination = peers.awaitedName(destination->handle);
    }
    return departures;
}

}  // namespace keyflip::alsa
