// The kit decides which failures an xrun may excuse: it must never take a
// changed, doubled or swapped message for one that JACK merely dropped.
#include "jack_testkit.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <vector>

namespace keyflip::jacktest {
namespace {

WireMessage note(std::uint8_t pitch) {
    return encodeShortMessage({0x90, pitch, 100}).value();
}

struct OrderCase {
    const char* name;
    std::vector<std::uint8_t> received;  // pitches; 1, 2, 3, 4 were sent
    bool inOrder;
};

// Names the case in test listings, which would otherwise show its bytes.
void PrintTo(const OrderCase& value, std::ostream* out) {
    *out << value.name;
}

class DepartureFromOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(DepartureFromOrderTest, TellsLossFromDisorder) {
    const std::vector<WireMessage> sent = {note(1), note(2), note(3), note(4)};
    std::vector<WireMessage> received;
    for (const auto pitch : GetParam().received) {
        received.push_back(note(pitch));
    }
    const auto departure = departureFromOrder(sent, received);
    EXPECT_EQ(!departure.has_value(), GetParam().inOrder) << departure.value_or("");
}

INSTANTIATE_TEST_SUITE_P(Cases, DepartureFromOrderTest,
                         ::testing::Values(OrderCase{"all", {1, 2, 3, 4}, true},
                                           OrderCase{"none", {}, true},
                                           OrderCase{"someLost", {1, 3}, true},
                                           OrderCase{"tailLost", {1, 2}, true},
                                           OrderCase{"swapped", {1, 3, 2, 4}, false},
                                           OrderCase{"doubled", {1, 2, 2, 3}, false},
                                           OrderCase{"changed", {1, 2, 7, 4}, false},
                                           OrderCase{"extraAtEnd", {1, 2, 3, 4, 4}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keyflip::jacktest
