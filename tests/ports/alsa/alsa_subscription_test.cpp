// Connecting "in" and "out" to a device when something else already has a
// say in its connections: another program that holds it exclusively, or a
// patchbay that made the connection first.
#include "sequencer_programs.h"

#include "alsa/alsa_backend.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace keyflip {
namespace {

using alsatest::EventSender;
using alsatest::isConnected;
using alsatest::PeerProgram;
using alsatest::run;

// One direction: the device opened, and the ports a connection runs between,
// by name and as aconnect takes them.
struct Direction {
    const char* name;
    PortSide side;
    std::string device;  // as the lists show it
    std::string from;
    std::string to;
    std::string aconnectPair;
};

void PrintTo(const Direction& direction, std::ostream* out) {
    *out << direction.name;
}

const Direction kInput{"input",
                       PortSide::Input,
                       "held-keyboard:out",
                       "held-keyboard:out",
                       "Keyflip:in",
                       "held-keyboard:0 Keyflip:0"};
const Direction kOutput{"output",      PortSide::Output, "held-synth:in",
                        "Keyflip:out", "held-synth:in",  "Keyflip:1 held-synth:0"};

// The keyboard and the synthesizer, and the program that holds them.
class AlsaSubscriptionTest : public alsatest::SequencerTest,
                             public ::testing::WithParamInterface<Direction> {
protected:
    void SetUp() override {
        SequencerTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_TRUE(keyboard.ok() && synth.ok() && holderIn.ok() && holderOut.ok());
        backend = createAlsaBackend();
        ASSERT_NE(backend, nullptr);
    }
    std::optional<PortFault> open(const Direction& direction) {
        return direction.side == PortSide::Input ? backend->openInput(direction.device)
                                                 : backend->openOutput(direction.device);
    }
    void close(const Direction& direction) {
        if (direction.side == PortSide::Input) {
            backend->closeInput();
        } else {
            backend->closeOutput();
        }
    }

    EventSender keyboard{"held-keyboard"};
    PeerProgram synth{"held-synth", 200};
    PeerProgram holderIn{"holder-in", 200};
    EventSender holderOut{"holder-out"};
    std::unique_ptr<MidiBackend> backend;
};

// Another program connected the keyboard to itself, or itself to the
// synthesizer, for its use alone: the sequencer refuses Keyflip's connection
// with "busy", which is no success. The port says it could not connect, and
// why.
TEST_P(AlsaSubscriptionTest, ADeviceAnotherProgramHoldsExclusivelyIsNotOpened) {
    const Direction& direction = GetParam();
    const std::string exclusive = direction.side == PortSide::Input
                                      ? "aconnect -e held-keyboard:0 holder-in:0"
                                      : "aconnect -e holder-out:0 held-synth:0";
    const auto held = run(exclusive);
    ASSERT_TRUE(held.succeeded) << held.output;

    const std::optional<PortFault> fault = open(direction);
    ASSERT_TRUE(fault.has_value()) << "opened on a device another program holds";
    EXPECT_EQ(fault->code, PortErrorCode::DeviceOpenFailed);
    const std::string text = fault->text.toStdString();
    EXPECT_NE(text.find(direction.device), std::string::npos) << text;
    EXPECT_NE(text.find("another program"), std::string::npos) << text;
    EXPECT_FALSE(isConnected(direction.from, direction.to));
}

// A patchbay connected the device to Keyflip before the port opened on it.
// That connection is the user's: the port uses it, and leaves it as it was
// when it closes.
TEST_P(AlsaSubscriptionTest, AConnectionAPatchbayMadeStaysWhenThePortCloses) {
    const Direction& direction = GetParam();
    const auto patch = run("aconnect " + direction.aconnectPair);
    ASSERT_TRUE(patch.succeeded) << patch.output;

    ASSERT_EQ(open(direction), std::nullopt);
    close(direction);
    EXPECT_TRUE(isConnected(direction.from, direction.to))
        << "closing undid a connection Keyflip did not make";

    const auto unpatch = run("aconnect -d " + direction.aconnectPair);
    ASSERT_TRUE(unpatch.succeeded) << unpatch.output;
    ASSERT_EQ(open(direction), std::nullopt);
    EXPECT_TRUE(isConnected(direction.from, direction.to));
    close(direction);
    EXPECT_FALSE(isConnected(direction.from, direction.to))
        << "a connection Keyflip made stayed after the port closed";
}

INSTANTIATE_TEST_SUITE_P(Directions, AlsaSubscriptionTest, ::testing::Values(kInput, kOutput),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keyflip
