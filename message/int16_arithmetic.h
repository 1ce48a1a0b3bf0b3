#pragma once

#include <cstdint>

namespace keyflip {

// Message and list arithmetic is 16-bit signed; a result that does not fit
// raises ProgramError("Overflow") instead of wrapping.
std::int16_t addInt16(std::int16_t a, std::int16_t b);
std::int16_t subtractInt16(std::int16_t a, std::int16_t b);

}  // namespace keyflip
