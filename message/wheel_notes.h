#pragma once

#include "midi_status.h"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace keyflip {

// The pitches the modulation wheel turned on since it last rested, oldest
// first, kept per controller as it arrived: with reverse off the wheel is
// controller 1, with reverse on controller 126, and reverse may be pressed
// while the wheel is up. Like a key, a controller releases what it turned on
// when it comes back to 0, whatever the rules make of that message now; had
// the wheel note moved while it was up, the pitches turned on before would
// otherwise sound on.
//
// Every wheel position strikes the wheel note again at a new velocity; a
// pitch struck again is one note, kept once, and one release ends it.
class WheelNotes {
public:
    // Controllers and pitches outside 0..127 are not kept: such a pitch
    // never reaches the wire.
    void turnedOn(std::int16_t controller, std::int16_t pitch);
    // The controller is back at 0: hands every pitch it turned on, except
    // the one its rest itself goes out on, to release, oldest first, and
    // forgets them all.
    void rest(std::int16_t controller, std::int16_t restPitch,
              const std::function<void(std::int16_t pitch)>& release);
    // Hands every pitch kept to release, oldest first per controller, and
    // forgets them all.
    void releaseAll(const std::function<void(std::int16_t pitch)>& release);

private:
    struct Pitches {
        std::array<std::int16_t, midi::kNotes> order{};
        std::size_t count = 0;
        std::bitset<midi::kNotes> kept;
    };
    static void release(Pitches& pitches, std::int16_t except,
                        const std::function<void(std::int16_t pitch)>& release);

    std::array<Pitches, midi::kNotes> byController_;
};

}  // namespace keyflip
