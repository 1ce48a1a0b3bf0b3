#pragma once

// The watcher of other clients coming and going. The reader thread reads what
// each System Announce event means as crossing flags; the UI thread, woken by
// them, decides which connected peer has left.

#include "alsa_client.h"
#include "alsa_peers.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <optional>
#include <string>

namespace keyflip::alsa {

// What the reader thread tells the UI thread.
enum CrossingFlag : std::uint32_t {
    // A client or port left or was renamed: a connected peer may be gone.
    kDepartures = 1U << 0,
    // A port appeared or was renamed: a device that left may be back.
    kArrivals = 1U << 1,
    // A connection of "out" was made or undone.
    kSubscriptions = 1U << 2,
    // The port connected to "in", or the one "out" is connected to, left;
    // another of its name may take its address at once.
    kSourceLeft = 1U << 3,
    kDestinationLeft = 1U << 4,
};

// The ports of the source and the destination connected, whose leaving the
// reader watches for: client << 8 | port, or kNoPeer.
inline constexpr int kNoPeer = -1;
struct WatchedPeers {
    int source = kNoPeer;
    int destination = kNoPeer;
};
int packedAddress(const snd_seq_addr_t& address) noexcept;

// Reader thread: the flags one event from the System Announce port raises.
std::uint32_t announcedChanges(const snd_seq_event_t& event, const OwnPorts& own,
                               const WatchedPeers& watched) noexcept;

// The names the peers that left are awaited by.
struct Departures {
    std::optional<std::string> source;
    std::optional<std::string> destination;
};

// UI thread: marks the connected peers that are no longer there, or whose
// port left (sourceLeft, destinationLeft), as left, each once.
Departures markDepartures(const AlsaPeers& peers, std::optional<ConnectedPeer>& source,
                          std::optional<ConnectedPeer>& destination, bool sourceLeft,
                          bool destinationLeft);

}  // namespace keyflip::alsa
