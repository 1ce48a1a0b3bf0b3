// Connecting "in" and "out" to a device when something else already has a
// say in its connections: another program that holds it exclusively, or a
// patchbay that made the connection first. Whether a connection is there is
// asked of aconnect, whose -d undoes only one that is.
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
using alsatest::PeerProgram;
using alsatest::run;

// One direction: the device opened, Keyflip's connection to it and another
// program's exclusive one, as aconnect takes them.
struct Direction {
    const char* name;
    PortSide side;
    std::string device;
    std::string connection;
    std::string exclusive;
};

void PrintTo(const Direction& direction, std::ostream* out) {
    *out << direction.name;
}

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
    std::optional<PortFault> open() {
        return GetParam().side == PortSide::Input ? backend->openInput(GetParam().device)
                                                  : backend->openOutput(GetParam().device);
    }
    void close() {
        GetParam().side == PortSide::Input ? backend->closeInput() : backend->closeOutput();
    }
    bool disconnected() { return run("aconnect -d " + GetParam().connection).succeeded; }

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
    const auto held = run("aconnect -e " + GetParam().exclusive);
    ASSERT_TRUE(held.succeeded) << held.output;

    const std::optional<PortFault> fault = open();
    ASSERT_TRUE(fault.has_value()) << "opened on a device another program holds";
    EXPECT_EQ(fault->code, PortErrorCode::DeviceOpenFailed);
    const std::string text = fault->text.toStdString();
    EXPECT_NE(text.find(GetParam().device), std::string::npos) << text;
    EXPECT_NE(text.find("another program"), std::string::npos) << text;
    EXPECT_FALSE(disconnected());
}

// A patchbay connected the device to Keyflip before the port opened on it.
// That connection is the user's: the port uses it, and leaves it as it was
// when it closes. One the port made, it undoes.
TEST_P(AlsaSubscriptionTest, AConnectionAPatchbayMadeStaysWhenThePortCloses) {
    const auto patch = run("aconnect " + GetParam().connection);
    ASSERT_TRUE(patch.succeeded) << patch.output;
    ASSERT_EQ(open(), std::nullopt);
    close();
    EXPECT_TRUE(disconnected()) << "closing undid a connection Keyflip did not make";

    ASSERT_EQ(open(), std::nullopt);
    close();
    EXPECT_FALSE(disconnected()) << "a connection Keyflip made stayed after the port closed";
}

INSTANTIATE_TEST_SUITE_P(
    Directions, AlsaSubscriptionTest,
    ::testing::Values(Direction{"input", PortSide::Input, "held-keyboard:out",
                                "held-keyboard:0 Keyflip:0", "held-keyboard:0 holder-in:0"},
                      Direction{"output", PortSide::Output, "held-synth:in",
                                "Keyflip:1 held-synth:0", "holder-out:0 held-synth:0"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keyflip
