// Faults on the real JACK backend with the real window: the server dies,
// the devices go and come back, and the program ends while notes sound.

#include "window_rig.h"

#include "wire_format.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QPushButton>
#include <QScrollBar>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace keyflip::reliability {
namespace {

using namespace std::chrono_literals;
using jacktest::pollUntil;
using jacktest::pumpUntil;

class FaultsJackTest : public JackTest {
protected:
    // A killed server keeps its slot in JACK's registry, which has eight for
    // all servers of the machine, until one of the same name starts again.
    void TearDown() override {
        if (jacktest::programInPath("jackd") && !server().running()) {
            EXPECT_TRUE(startServerAgain()) << server().log();
        }
        JackTest::TearDown();
    }
};

WireMessage wire(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    return encodeShortMessage({status, data1, data2}).value();
}

// Controllers on channels 2..16 pass the rules unchanged whatever they say.
std::vector<WireMessage> steadyStream(std::size_t count) {
    std::vector<WireMessage> messages;
    for (std::size_t index = 0; index < count; ++index) {
        messages.push_back(wire(static_cast<std::uint8_t>(0xB1 + index % 15), 7,
                                static_cast<std::uint8_t>(index % 128)));
    }
    return messages;
}

std::string joined(const std::vector<QString>& texts) {
    std::string result;
    for (const auto& text : texts) {
        result += text.toStdString() + " | ";
    }
    return result;
}

void expectPortsGone(jack_client_t* observer) {
    EXPECT_TRUE(pumpUntil([&] { return keyflipPorts(observer).empty(); }, 5000ms))
        << "left behind: " << keyflipPorts(observer).size() << " port(s), first "
        << (keyflipPorts(observer).empty() ? std::string() : keyflipPorts(observer).front());
}

// Kills the server mid-flow; returns with both ports closed and the test's
// own clients of the dead server gone.
void killServerMidFlow(FaultsJackTest& test, WindowRig& rig, std::unique_ptr<MidiSender>& keyboard,
                       std::unique_ptr<MidiReceiver>& synth,
                       const std::function<void(int)>& stopServer) {
    // A real box runs the event loop while it waits: reports that come in
    // meanwhile must not stack further boxes.
    rig.host.whileBoxWaits = [](const RecordingHost::Box&) {
        pumpUntil([] { return false; }, 200ms);
    };
    rig.pressGo();
    ASSERT_EQ(rig.form->MIDIInput1->portState(), 2);
    ASSERT_EQ(rig.form->MIDIOutput1->portState(), 2);
    keyboard->send(steadyStream(200000), 8);
    ASSERT_TRUE(pumpUntil([&] { return synth->count() >= 100; }, 5000ms))
        << synth->count() << " arrived before the server was killed";

    stopServer(SIGKILL);
    EXPECT_TRUE(pumpUntil(
        [&] {
            return rig.form->MIDIInput1->portState() == 0 &&
                   rig.form->MIDIOutput1->portState() == 0;
        },
        5000ms))
        << "states " << rig.form->MIDIInput1->portState() << ' '
        << rig.form->MIDIOutput1->portState();
    // Time for any further report to pile up, were there one.
    pumpUntil([] { return false; }, 300ms);
    EXPECT_GE(rig.portErrorBoxes(), 1u);
    EXPECT_LE(rig.portErrorBoxes(), 2u) << joined(rig.portErrorTexts());
    for (const auto& text : rig.portErrorTexts()) {
        EXPECT_TRUE(text.contains(QStringLiteral("JACK server"))) << text.toStdString();
    }

    // The window keeps answering.
    const bool reversed = rig.form->reverseFlag();
    rig.form->reverse->click();
    EXPECT_NE(rig.form->reverseFlag(), reversed);
    rig.form->reverse->click();

    EXPECT_TRUE(
        pollUntil([&] { return keyboard->serverWentAway() && synth->serverWentAway(); }, 5000ms));
    keyboard.reset();
    synth.reset();
    (void)test;
}

TEST_F(FaultsJackTest, ServerKilledMidFlowShowsOneBoxPerPortAndStopStillEnds) {
    runCase([&] {
        auto keyboard = std::make_unique<MidiSender>(kKeyboardClient);
        auto synth = std::make_unique<MidiReceiver>(kSynthClient, 1 << 20);
        ASSERT_TRUE(keyboard->ok() && synth->ok());
        WindowRig rig;
        endTimingSensitivePart();
        killServerMidFlow(*this, rig, keyboard, synth, [this](int sig) { stopServer(sig); });
        if (HasFatalFailure()) {
            return;
        }
        rig.form->stopbutton->click();
        EXPECT_EQ(rig.host.endStatuses, std::vector<int>{0});
        const std::size_t boxes = rig.portErrorBoxes();
        rig.destroy();
        EXPECT_EQ(rig.portErrorBoxes(), boxes);
        std::printf("[ FIGURES  ] server killed: %zu PortError box(es)\n", boxes);
    });
}

TEST_F(FaultsJackTest, ServerStoppedPolitelyMidFlowShowsOneBoxPerPortAndStopStillEnds) {
    runCase([&] {
        auto keyboard = std::make_unique<MidiSender>(kKeyboardClient);
        auto synth = std::make_unique<MidiReceiver>(kSynthClient, 1 << 20);
        ASSERT_TRUE(keyboard->ok() && synth->ok());
        WindowRig rig;
        endTimingSensitivePart();
        killServerMidFlow(*this, rig, keyboard, synth, [this](int) { stopServer(SIGTERM); });
        if (HasFatalFailure()) {
            return;
        }
        rig.form->stopbutton->click();
        EXPECT_EQ(rig.host.endStatuses, std::vector<int>{0});
    });
}

// "stop" pressed in the instant the server dies, before the window has heard
// of it: the Note Offs cannot go anywhere, but nothing hangs or crashes.
TEST_F(FaultsJackTest, StopPressedAsTheServerDiesEndsWithoutHanging) {
    runCase([&] {
        auto keyboard = std::make_unique<MidiSender>(kKeyboardClient);
        auto synth = std::make_unique<MidiReceiver>(kSynthClient, 1 << 20);
        ASSERT_TRUE(keyboard->ok() && synth->ok());
        WindowRig rig;
        rig.pressGo();
        keyboard->send({wire(0x90, 60, 100), wire(0x91, 61, 100)}, 1);
        ASSERT_TRUE(pumpUntil([&] { return synth->count() >= 2; }, 5000ms));
        endTimingSensitivePart();
        stopServer(SIGKILL);
        ASSERT_TRUE(pollUntil([&] { return keyboard->serverWentAway() && synth->serverWentAway(); },
                              5000ms));
        const auto pressed = std::chrono::steady_clock::now();
        rig.form->stopbutton->click();
        const auto took = std::chrono::steady_clock::now() - pressed;
        EXPECT_EQ(rig.host.endStatuses, std::vector<int>{0});
        EXPECT_LT(took, 2000ms);
        keyboard.reset();
        synth.reset();
        rig.destroy();
        std::printf("[ FIGURES  ] stop as the server died returned in %.1f ms\n",
                    std::chrono::duration<double, std::milli>(took).count());
    });
}

// With a keyboard and a synthesizer there again, MIDI > Setup, Ok and "go"
// bring the flow back, byte for byte and in order, and "stop" still ends
// the program and leaves no port behind.
void expectFlowComesBackThroughSetup(WindowRig& rig, const char* after,
                                     const std::function<void()>& beforeStop = {}) {
    MidiSender keyboard(kKeyboardClient);
    MidiReceiver synth(kSynthClient, 4096);
    ASSERT_TRUE(keyboard.ok() && synth.ok());
    rig.form->mnuMidiSetup->trigger();
    rig.pressGo();
    EXPECT_EQ(rig.form->MIDIInput1->portState(), 2);
    EXPECT_EQ(rig.form->MIDIOutput1->portState(), 2);
    const auto messages = steadyStream(300);
    keyboard.send(messages, 16);
    EXPECT_TRUE(pumpUntil([&] { return synth.count() >= messages.size(); }, 10000ms))
        << synth.count() << " of " << messages.size() << " " << after;
    EXPECT_TRUE(jacktest::arrivedInOrder(messages, synth.messages()));
    if (beforeStop) {
        beforeStop();
    }

    rig.form->stopbutton->click();
    EXPECT_EQ(rig.host.endStatuses, std::vector<int>{0});
    rig.destroy();
    expectPortsGone(synth.client());
}

TEST_F(FaultsJackTest, ServerKilledMidFlowComesBackThroughSetupOkAndGo) {
    runCase([&] {
        auto keyboard = std::make_unique<MidiSender>(kKeyboardClient);
        auto synth = std::make_unique<MidiReceiver>(kSynthClient, 1 << 20);
        ASSERT_TRUE(keyboard->ok() && synth->ok());
        WindowRig rig;
        endTimingSensitivePart();
        killServerMidFlow(*this, rig, keyboard, synth, [this](int sig) { stopServer(sig); });
        if (HasFatalFailure()) {
            return;
        }
        const std::size_t boxesAfterKill = rig.portErrorBoxes();

        ASSERT_TRUE(startServerAgain()) << server().log();
        expectFlowComesBackThroughSetup(rig, "after the restart", [&] {
            EXPECT_EQ(rig.portErrorBoxes(), boxesAfterKill) << joined(rig.portErrorTexts());
        });
    });
}

TEST_F(FaultsJackTest, KeyboardAndSynthVanishAndReturnThenSetupReopens) {
    runCase([&] {
        auto keyboard = std::make_unique<MidiSender>(kKeyboardClient);
        auto synth = std::make_unique<MidiReceiver>(kSynthClient, 1 << 20);
        ASSERT_TRUE(keyboard->ok() && synth->ok());
        WindowRig rig;
        rig.pressGo();
        ASSERT_EQ(rig.form->MIDIInput1->portState(), 2);
        keyboard->send(steadyStream(200000), 8);
        ASSERT_TRUE(pumpUntil([&] { return synth->count() >= 100; }, 5000ms));

        endTimingSensitivePart();
        keyboard.reset();
        EXPECT_TRUE(pumpUntil([&] { return rig.form->MIDIInput1->portState() == 0; }, 5000ms));
        synth.reset();
        EXPECT_TRUE(pumpUntil([&] { return rig.form->MIDIOutput1->portState() == 0; }, 5000ms));
        pumpUntil([] { return false; }, 300ms);
        EXPECT_EQ(rig.portErrorBoxes(), 2u) << joined(rig.portErrorTexts());

        // Still there with nothing to talk to: "go" and MIDI Setup neither
        // crash nor hang, and say what is missing.
        rig.pressGo();
        rig.form->mnuMidiSetup->trigger();
        EXPECT_EQ(rig.form->MIDIInput1->portState(), 0);

        expectFlowComesBackThroughSetup(rig, "after the devices came back");
        // One per lost device, then one per port for "go" while not open and
        // one per port for the reopen that found nothing.
        EXPECT_EQ(rig.portErrorBoxes(), 6u) << joined(rig.portErrorTexts());
        std::printf("[ FIGURES  ] devices gone and back: %zu PortError box(es)\n",
                    rig.portErrorBoxes());
    });
}

// Ten keys down on ten channels with the transposition at 3, two of them let
// go again: eight Note Offs are owed, on the pitches that sound.
void endingReleasesHeldNotes(FaultsJackTest& test, const std::function<void(frmMain&)>& end) {
    MidiSender keyboard(kKeyboardClient);
    MidiReceiver synth(kSynthClient, 4096);
    ASSERT_TRUE(keyboard.ok() && synth.ok());
    auto rig = std::make_unique<WindowRig>();
    rig->pressGo();
    ASSERT_EQ(rig->form->MIDIOutput1->portState(), 2);
    rig->form->vslidertranspose->setValue(3);

    std::vector<WireMessage> played;
    std::set<std::vector<std::uint8_t>> owed;
    for (std::uint8_t channel = 0; channel < 10; ++channel) {
        const auto note = static_cast<std::uint8_t>(60 + channel);
        played.push_back(wire(0x90 | channel, note, 100));
        if (channel != 2 && channel != 4) {
            owed.insert({static_cast<std::uint8_t>(0x80 | channel),
                         static_cast<std::uint8_t>(note + 3), 0});
        }
    }
    played.push_back(wire(0x82, 62, 64));
    played.push_back(wire(0x94, 64, 0));
    keyboard.send(played, 4);
    ASSERT_TRUE(pumpUntil([&] { return synth.count() >= played.size(); }, 5000ms));

    end(*rig->form);
    // No event loop in between: the Note Offs are out before the command returns.
    const auto received = synth.messages();
    ASSERT_GE(received.size(), played.size());
    EXPECT_TRUE(jacktest::releasedAsOwed(
        owed, {received.begin() + static_cast<std::ptrdiff_t>(played.size()), received.end()}))
        << describe(received);
    EXPECT_EQ(rig->host.endStatuses, std::vector<int>{0});

    // The program's ports are there until the program is gone, then not.
    EXPECT_FALSE(keyflipPorts(synth.client()).empty());
    rig.reset();
    expectPortsGone(synth.client());
    (void)test;
}

// An error that ends the program leaves main() with the ports still started:
// the window goes with notes sounding, and its output must still release
// them without touching the input's queue, which goes first.
TEST_F(FaultsJackTest, WindowDestroyedWithPortsStartedReleasesItsNotes) {
    runCase([&] {
        MidiSender keyboard(kKeyboardClient);
        MidiReceiver synth(kSynthClient, 4096);
        ASSERT_TRUE(keyboard.ok() && synth.ok());
        auto rig = std::make_unique<WindowRig>();
        rig->pressGo();
        ASSERT_EQ(rig->form->MIDIInput1->portState(), 2);
        keyboard.send({wire(0x90, 60, 100), wire(0x95, 70, 90)}, 1);
        ASSERT_TRUE(pumpUntil([&] { return synth.count() >= 2; }, 5000ms));
        rig->form.reset();
        const auto received = synth.messages();
        ASSERT_GE(received.size(), 2u);
        EXPECT_TRUE(jacktest::releasedAsOwed({{0x80, 60, 0}, {0x85, 70, 0}},
                                             {received.begin() + 2, received.end()}))
            << describe(received);
        rig.reset();
        expectPortsGone(synth.client());
    });
}

TEST_F(FaultsJackTest, StopReleasesEveryHeldNoteBeforeThePortsGo) {
    runCase(
        [&] { endingReleasesHeldNotes(*this, [](frmMain& form) { form.stopbutton->click(); }); });
}

TEST_F(FaultsJackTest, FileExitReleasesEveryHeldNoteBeforeThePortsGo) {
    runCase([&] {
        endingReleasesHeldNotes(*this, [](frmMain& form) { form.mnuFileExit->trigger(); });
    });
}

TEST_F(FaultsJackTest, ClosingTheWindowReleasesEveryHeldNoteBeforeThePortsGo) {
    runCase([&] { endingReleasesHeldNotes(*this, [](frmMain& form) { form.close(); }); });
}

}  // namespace
}  // namespace keyflip::reliability
