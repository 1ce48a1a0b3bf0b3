#include "int16_arithmetic.h"

#include "program_error.h"

namespace keyflip {

void raiseOverflow() {
    throw ProgramError(kOverflowDescription);
}

}  // namespace keyflip
