#include "int16_arithmetic.h"

#include "program_error.h"

#include <limits>

namespace keyflip {

namespace {

std::int16_t narrowOrOverflow(int value) {
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
        throw ProgramError(kOverflowDescription);
    }
    return static_cast<std::int16_t>(value);
}

}  // namespace

std::int16_t addInt16(std::int16_t a, std::int16_t b) {
    return narrowOrOverflow(int{a} + int{b});
}

std::int16_t subtractInt16(std::int16_t a, std::int16_t b) {
    return narrowOrOverflow(int{a} - int{b});
}

}  // namespace keyflip
