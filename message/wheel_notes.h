#pragma once

#include "midi_status.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace keyflip {

// The pitches the modulation wheel turned on since it last rested, oldest
// first. The wheel's rest goes out on the wheel note of the moment; had the
// wheel note moved while the wheel was up, the pitches it turned on before
// would sound on, so they are released with the rest.
//
// Every wheel position strikes the wheel note again at a new velocity; a
// pitch struck again is one note, kept once, and one release ends it.
class WheelNotes {
public:
    // Pitches outside 0..127 never reach the wire and are not kept.
    void turnedOn(std::int16_t pitch);
    // The wheel's rest itself went out on this pitch.
    void forget(std::int16_t pitch);
    // Hands every pitch kept to release, oldest first, and forgets them all.
    void releaseAll(const std::function<void(std::int16_t pitch)>& release);

private:
    std::array<std::int16_t, midi::kNotes> pitches_{};
    std::size_t count_ = 0;
    std::array<bool, midi::kNotes> kept_{};
};

}  // namespace keyflip
