#pragma once

#include <cstdint>

namespace keyflip {

// One short MIDI message as the ports report it. The values are carried
// unvalidated: a transposed or mirrored note may leave 0..127, and it is the
// output port that decides what such a value becomes on the wire.
struct ShortMessage {
    std::int16_t status = 0;
    std::int16_t data1 = 0;
    std::int16_t data2 = 0;

    friend bool operator==(const ShortMessage&, const ShortMessage&) = default;
};

}  // namespace keyflip
