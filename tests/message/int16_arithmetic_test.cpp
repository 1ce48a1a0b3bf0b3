#include "int16_arithmetic.h"
#include "program_error.h"

#include <gtest/gtest.h>

namespace keyflip {
namespace {

TEST(Int16Arithmetic, AddsAndSubtractsUpToTheLimits) {
    EXPECT_EQ(addInt16(INT16_MAX - 1, 1), INT16_MAX);
    EXPECT_EQ(addInt16(INT16_MIN + 1, -1), INT16_MIN);
    EXPECT_EQ(subtractInt16(127, 139), -12);
    EXPECT_EQ(subtractInt16(INT16_MIN + 1, 1), INT16_MIN);
    EXPECT_EQ(subtractInt16(-1, INT16_MAX), INT16_MIN);
}

TEST(Int16Arithmetic, OverflowRaisesTheProgramError) {
    EXPECT_THROW(addInt16(INT16_MAX, 1), ProgramError);
    EXPECT_THROW(addInt16(INT16_MIN, -1), ProgramError);
    EXPECT_THROW(subtractInt16(INT16_MIN, 1), ProgramError);
    EXPECT_THROW(subtractInt16(0, INT16_MIN), ProgramError);
    try {
        addInt16(INT16_MAX, INT16_MAX);
        FAIL() << "no overflow";
    } catch (const ProgramError& error) {
        EXPECT_STREQ(error.description(), "Overflow");
    }
}

}  // namespace
}  // namespace keyflip
