#pragma once

#include <string>
#include <utility>

namespace keyflip {

// The port one of Keyflip's ports was connected to: the name it was opened
// by, as the lists gave it, and what the MIDI system knows it by. One that
// left or was renamed is reported once and kept until the port closes: a
// renamed one is still connected, and must be disconnected then.
template <typename Handle>
struct ConnectedPeer {
    std::string name;
    Handle handle{};
    bool left = false;
    // Whether the program made the connection. One that was there already
    // (a patchbay made it) is the user's, and closing the port leaves it.
    bool ours = true;

    // True the first time only, so that a departure is reported once.
    bool markLeft() noexcept { return !std::exchange(left, true); }
};

}  // namespace keyflip
