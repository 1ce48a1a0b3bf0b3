#pragma once

#include <cstdint>
#include <limits>

namespace keyflip {

[[noreturn]] void raiseOverflow();

// Message and list arithmetic is 16-bit signed; a result that does not fit
// raises ProgramError("Overflow") instead of wrapping. Inline, because the
// rules run these for every message.
inline std::int16_t narrowToInt16(int value) {
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) [[unlikely]] {
        raiseOverflow();
    }
    return static_cast<std::int16_t>(value);
}

inline std::int16_t addInt16(std::int16_t a, std::int16_t b) {
    return narrowToInt16(int{a} + int{b});
}

inline std::int16_t subtractInt16(std::int16_t a, std::int16_t b) {
    return narrowToInt16(int{a} - int{b});
}

}  // namespace keyflip
