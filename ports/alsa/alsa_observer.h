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
};

// Reader thread: the flags one event from the System Announce port raises.
std::uint32_t announcedChanges(const snd_seq_event_t& event, const OwnPorts& own) noexcept;

// The names the peers that left are awaited by.
struct Departures {
    std::optional<std::string> source;
    std::optional<std::string> destination;
};

// UI thread: marks the connected peers that are no longer there as left,
// each once.
Departures markDepartures(const AlsaPeers& peers, std::optional<ConnectedPeer>& source,
                          std::optional<ConnectedPeer>& destination);

}  // namespace keyflip::alsa
