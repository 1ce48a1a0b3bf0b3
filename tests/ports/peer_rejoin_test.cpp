// A device that leaves and comes back under its name plays again without the
// program doing anything; nothing else is ever taken in its place.
#include "backend_probes.h"
#include "port_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <thread>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using checks::pumpUntil;
using testing_support::InMemoryPorts;
using testing_support::RecordedError;

std::string leftText(const char* side, const char* name) {
    return std::string("The MIDI ") + side + " device \"" + name +
           "\" went away. Keyflip will connect to it again as soon as it is back.";
}

// The keyboard "Keys:out" on the input, the synthesizer "Synth:in" on the output.
class PeerRejoinTest : public ::testing::TestWithParam<PortSide> {
protected:
    void SetUp() override {
        ports.backend.setSources({"Pads:out", "Keys:out"});
        ports.backend.setDestinations({"Drums:in", "Synth:in"});
        ports.input.deviceCount();
        ports.output.deviceCount();
        ports.input.setDeviceIndex(1);
        ports.input.setPortCommand(PORT_OPEN);
        ports.output.setDeviceIndex(1);
        ports.output.setPortCommand(PORT_OPEN);
    }

    bool input() const { return GetParam() == PortSide::Input; }
    const char* device() const { return input() ? "Keys:out" : "Synth:in"; }
    const char* sideWord() const { return input() ? "input" : "output"; }
    std::string connected() {
        return input() ? ports.backend.connectedSource() : ports.backend.connectedDestination();
    }
    std::int16_t state() { return input() ? ports.input.portState() : ports.output.portState(); }
    void command(std::int16_t code) {
        input() ? ports.input.setPortCommand(code) : ports.output.setPortCommand(code);
    }
    std::int16_t deviceIndex() {
        return input() ? ports.input.deviceIndex() : ports.output.deviceIndex();
    }
    // Whether a message gets through the port on this side now.
    bool carries() {
        if (input()) {
            bool heard = false;
            const auto connection = QObject::connect(&ports.input, &MidiInputPort::Message, [&] {
                while (ports.input.pendingCount() > 0) {
                    ports.input.setPortCommand(MSG_DROP);
                }
                heard = true;
            });
            const bool delivered = ports.backend.deliver(ShortMessage{0x90, 60, 100});
            pumpUntil([&] { return heard; }, 500ms);
            QObject::disconnect(connection);
            return delivered && heard;
        }
        ports.backend.clearSent();
        ports.output.setMsgStatus(0xB0);
        ports.output.setMsgData1(7);
        ports.output.setMsgData2(100);
        ports.output.setPortCommand(MSG_SEND);
        return ports.backend.sent().size() == 1;
    }

    InMemoryPorts ports;
};

// Unplugged and plugged in again three times, started or only open: each
// leaving is told once, and each return restores the port as it was, with
// the program's choice of device untouched.
TEST_P(PeerRejoinTest, ADeviceBackUnderItsNameIsConnectedAgainAsItWas) {
    for (const bool started : {true, false}) {
        SCOPED_TRACE(started ? "started" : "open");
        ports.errors.clear();
        command(started ? PORT_START : PORT_STOP);
        const std::int16_t stateBefore = state();
        for (int round = 0; round < 3; ++round) {
            ports.backend.unplug(GetParam());
            EXPECT_EQ(state(), PORT_STATE_CLOSED);
            QCoreApplication::processEvents();
            ports.backend.plugIn(GetParam(), device());
            EXPECT_EQ(connected(), device()) << "round " << round;
            EXPECT_EQ(state(), stateBefore) << "round " << round;
        }
        EXPECT_EQ(deviceIndex(), 1);
        // An output sends once open; an input passes messages on once started.
        EXPECT_EQ(carries(), started || !input());
        EXPECT_EQ(ports.errors, std::vector<RecordedError>(3, {6, leftText(sideWord(), device())}));
    }
}

// A device that is back by the time its leaving is handled is found at once.
TEST_P(PeerRejoinTest, ADeviceAlreadyBackWhenItsLeavingIsHeardIsTaken) {
    command(PORT_START);
    ports.backend.unplug(GetParam());
    if (input()) {
        ports.backend.setSources({"Pads:out", "Keys:out"});
    } else {
        ports.backend.setDestinations({"Drums:in", "Synth:in"});
    }
    EXPECT_TRUE(pumpUntil([&] { return connected() == device(); }));
    EXPECT_TRUE(carries());
}

TEST_P(PeerRejoinTest, OnlyExactlyTheSameNameIsTaken) {
    command(PORT_START);
    ports.backend.unplug(GetParam());
    const std::string name = device();
    const std::string lowerCase = QString::fromStdString(name).toLower().toStdString();
    for (const std::string& other : {name + " 2", lowerCase, name + " "}) {
        ports.backend.plugIn(GetParam(), other);
        pumpUntil([] { return false; }, 20ms);
        EXPECT_EQ(connected(), "") << other;
        EXPECT_EQ(state(), PORT_STATE_CLOSED) << other;
    }
    ports.backend.plugIn(GetParam(), device());
    EXPECT_EQ(connected(), device());
}

// A device's name is bytes and need not be UTF-8 (a USB device names itself):
// one that is not is still known again when it is back.
TEST_P(PeerRejoinTest, ADeviceWhoseNameIsNotUtf8IsKnownAgain) {
    const std::string name = input() ? "Clavier \xE9lectrique:out" : "Synth\xE9:in";
    if (input()) {
        ports.backend.setSources({"Pads:out", name});
    } else {
        ports.backend.setDestinations({"Drums:in", name});
    }
    // Listed again, as MIDI Setup does before the choice.
    input() ? ports.input.deviceCount() : ports.output.deviceCount();
    command(PORT_OPEN);
    command(PORT_START);
    ASSERT_EQ(connected(), name);
    ports.backend.unplug(GetParam());
    QCoreApplication::processEvents();
    ports.backend.plugIn(GetParam(), name);
    EXPECT_EQ(connected(), name);
    EXPECT_EQ(state(), PORT_STATE_STARTED);
}

// The device chosen in MIDI Setup is away when Ok opens the port: chosen
// again after it left, or unplugged since the dialog read its list. It is
// awaited as if it had left while open, and the port comes back started or
// not, as the program last asked while it waited.
TEST_P(PeerRejoinTest, ADeviceChosenWhileItIsAwayIsTakenOnceItIsBack) {
    const std::string notThereYet =
        std::string("The MIDI ") + sideWord() + " device \"" + device() +
        "\" is not back yet. Keyflip will connect to it and start the " + sideWord() +
        " as soon as it is back.";
    for (const bool leftWhileOpen : {true, false}) {
        for (const bool startedMeanwhile : {true, false}) {
            SCOPED_TRACE(std::string(leftWhileOpen ? "left while open" : "gone since listed") +
                         (startedMeanwhile ? ", started" : ", stopped"));
            command(PORT_OPEN);
            ASSERT_EQ(connected(), device());
            if (leftWhileOpen) {
                ports.backend.unplug(GetParam());
            } else {
                command(PORT_CLOSE);
                if (input()) {
                    ports.backend.setSources({"Pads:out"});
                } else {
                    ports.backend.setDestinations({"Drums:in"});
                }
            }
            ports.errors.clear();
            command(PORT_OPEN);
            EXPECT_EQ(state(), PORT_STATE_CLOSED);
            ASSERT_EQ(ports.errors.size(), 1u);
            EXPECT_TRUE(
                QString::fromStdString(ports.errors[0].text)
                    .endsWith(QLatin1String(" Keyflip will connect to it as soon as it is back.")))
                << ports.errors[0].text;
            command(PORT_START);
            EXPECT_EQ(ports.errors.back(), (RecordedError{4, notThereYet}));
            if (!startedMeanwhile) {
                command(PORT_STOP);
            }
            ports.backend.plugIn(GetParam(), device());
            EXPECT_EQ(connected(), device());
            EXPECT_EQ(state(), startedMeanwhile ? PORT_STATE_STARTED : PORT_STATE_OPEN);
            EXPECT_EQ(carries(), startedMeanwhile || !input());
        }
    }
}

// A device the program opens or closes the port on meanwhile (a new Ok in
// the setup dialog) replaces the old choice for good.
TEST_P(PeerRejoinTest, AChoiceMadeSinceIsNeverOverridden) {
    for (const std::int16_t code : {PORT_OPEN, PORT_CLOSE}) {
        SCOPED_TRACE(code);
        command(PORT_CLOSE);
        if (input()) {
            ports.input.setDeviceIndex(1);
        } else {
            ports.output.setDeviceIndex(1);
        }
        command(PORT_OPEN);
        ASSERT_EQ(connected(), device());
        ports.backend.unplug(GetParam());
        if (input()) {
            ports.input.setDeviceIndex(0);
        } else {
            ports.output.setDeviceIndex(-1);
        }
        command(code);
        const std::string chosen = connected();
        ports.backend.plugIn(GetParam(), device());
        pumpUntil([] { return false; }, 20ms);
        EXPECT_EQ(connected(), chosen);
    }
}

// A port can be listed a moment before it can be connected.
TEST_P(PeerRejoinTest, ADeviceThatRefusesAtFirstIsTriedAgain) {
    command(PORT_START);
    ports.backend.unplug(GetParam());
    ports.backend.refuseDevice(device());
    ports.backend.plugIn(GetParam(), device());
    EXPECT_EQ(state(), PORT_STATE_CLOSED);
    ports.backend.acceptDevice(device());
    EXPECT_TRUE(pumpUntil([&] { return connected() == device(); }, 1000ms));
    EXPECT_TRUE(carries());
    EXPECT_EQ(ports.errors.size(), 1u) << "a refusal while waiting is not shown";
}

// When the MIDI system itself went away the user chooses again.
TEST_P(PeerRejoinTest, NothingIsRejoinedAfterTheSystemWentAway) {
    command(PORT_START);
    ports.backend.loseConnection(GetParam(), QStringLiteral("The MIDI system stopped."));
    ports.backend.plugIn(GetParam(), device());
    pumpUntil([] { return false; }, 20ms);
    EXPECT_EQ(state(), PORT_STATE_CLOSED);
}

INSTANTIATE_TEST_SUITE_P(BothSides, PeerRejoinTest,
                         ::testing::Values(PortSide::Input, PortSide::Output),
                         [](const auto& info) {
                             return info.param == PortSide::Input ? "Input" : "Output";
                         });

// A note left sounding when the synthesizer went away is released on it
// when it is back.
TEST(PeerRejoinOutputTest, NotesOwedWhenTheDestinationLeftAreReleasedWhenItIsBack) {
    InMemoryPorts ports;
    ports.backend.setDestinations({"Synth:in"});
    ports.output.deviceCount();
    ports.output.setDeviceIndex(0);
    ports.output.setPortCommand(PORT_OPEN);
    ports.output.setPortCommand(PORT_START);
    ports.output.setMsgStatus(0x91);
    ports.output.setMsgData1(64);
    ports.output.setMsgData2(90);
    ports.output.setPortCommand(MSG_SEND);
    ports.backend.unplug(PortSide::Output);
    ports.backend.clearSent();
    ports.backend.plugIn(PortSide::Output, "Synth:in");
    ASSERT_EQ(ports.backend.sent().size(), 1u);
    EXPECT_EQ(decodeShortMessage(ports.backend.sent()[0].view()), (ShortMessage{0x81, 64, 0}));
}

}  // namespace
}  // namespace keyflip
