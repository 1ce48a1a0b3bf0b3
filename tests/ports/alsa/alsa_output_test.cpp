// What "out" sends to the destinations it is connected to: everything each of
// them takes reaches it, and a note that still sounds in any of them is
// released there when the output closes.
#include "sequencer_programs.h"

#include "alsa/alsa_backend.h"
#include "midi_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using alsatest::PeerProgram;
using alsatest::runFor;

const WireMessage kNoteOn60{{0x90, 60, 100}, 3};
const WireMessage kNoteOn64{{0x90, 64, 90}, 3};
const WireMessage kNoteOff60{{0x80, 60, 0}, 3};
const WireMessage kNoteOff64{{0x80, 64, 0}, 3};

bool contains(const std::vector<WireMessage>& messages, const WireMessage& message) {
    return std::ranges::find(messages, message) != messages.end();
}

// The output port on the ALSA backend, opened on one destination and started,
// as the window opens it; every box it would show is kept.
class AlsaOutputTest : public alsatest::SequencerTest {
protected:
    void openOn(const std::string& destination) {
        backend = createAlsaBackend();
        ASSERT_NE(backend, nullptr);
        port = std::make_unique<MidiOutputPort>(*backend);
        QObject::connect(port.get(), &MidiOutputPort::PortError,
                         [this](qint16&, QString& text) { boxes.push_back(text.toStdString()); });
        const std::int16_t count = port->deviceCount();
        for (std::int16_t index = 0; index < count; ++index) {
            port->setDeviceIndex(index);
            if (port->deviceName() == QString::fromStdString(destination)) {
                port->setPortCommand(PORT_OPEN);
                port->setPortCommand(PORT_START);
                ASSERT_EQ(port->portState(), PORT_STATE_STARTED);
                return;
            }
        }
        FAIL() << destination << " is not offered";
    }
    void play(const WireMessage& message) {
        port->setMsgStatus(message.bytes[0]);
        port->setMsgData1(message.size > 1 ? message.bytes[1] : 0);
        port->setMsgData2(message.size > 2 ? message.bytes[2] : 0);
        port->setPortCommand(MSG_SEND);
    }

    std::unique_ptr<MidiBackend> backend;
    std::unique_ptr<MidiOutputPort> port;
    std::vector<std::string> boxes;
};

// A synthesizer or a bridge that takes only notes filters the rest out, and
// the sequencer refuses it every other kind of event as it refuses one for a
// port that is not there. That is no sign that it left: it hears every note
// played, and "stop" releases the note still sounding there.
TEST_F(AlsaOutputTest, ADestinationThatTakesOnlyNotesHearsEveryNoteAndTheRelease) {
    PeerProgram synth("notes-only-synth", 2000, {SND_SEQ_EVENT_NOTEON, SND_SEQ_EVENT_NOTEOFF});
    ASSERT_TRUE(synth.ok());
    openOn("notes-only-synth:in");

    play(WireMessage{{0xFE, 0, 0}, 1});  // Active Sensing
    play(kNoteOn60);
    play(WireMessage{{0xB0, 7, 100}, 3});
    play(WireMessage{{0xF8, 0, 0}, 1});
    play(kNoteOn64);
    play(kNoteOff60);
    runFor(100ms, {&synth});
    EXPECT_EQ(synth.received, (std::vector<WireMessage>{kNoteOn60, kNoteOn64, kNoteOff60}));

    port->setPortCommand(PORT_CLOSE);
    runFor(100ms, {&synth});
    EXPECT_EQ(synth.received,
              (std::vector<WireMessage>{kNoteOn60, kNoteOn64, kNoteOff60, kNoteOff64}));
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// "out" reaches the synthesizer chosen, which stopped reading so long that
// Keyflip holds all it may for it, and, connected by a patchbay since, a
// second one that reads. A Note Off then reaches the second only; the note
// still sounds in the first, so "stop" sends that Note Off again, and the
// first hears it once it reads again.
TEST_F(AlsaOutputTest, ANoteOffThatMissedAConnectionReachesItAtStop) {
    PeerProgram stalled("stalled-synth", 200);
    PeerProgram reading("reading-synth", 2000);
    ASSERT_TRUE(stalled.ok() && reading.ok());
    openOn("stalled-synth:in");
    play(kNoteOn60);
    std::size_t held = 0;
    while (held < (std::size_t{1} << 20) &&
           backend->send(WireMessage{{0xB0, 1, static_cast<std::uint8_t>(held % 128)}, 3})) {
        ++held;
    }
    ASSERT_LT(held, std::size_t{1} << 20) << "the output never refused";
    const auto patch = alsatest::run("aconnect Keyflip:1 reading-synth:0");
    ASSERT_TRUE(patch.succeeded) << patch.output;
    runFor(100ms, {&reading});

    play(kNoteOff60);
    runFor(100ms, {&reading});
    EXPECT_TRUE(contains(reading.received, kNoteOff60));

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::thread readsAgain([&] {
        while (!contains(stalled.received, kNoteOff60) &&
               std::chrono::steady_clock::now() < deadline) {
            stalled.waitForInput(10ms);
            stalled.readAll();
        }
    });
    port->setPortCommand(PORT_CLOSE);
    readsAgain.join();
    EXPECT_TRUE(contains(stalled.received, kNoteOff60))
        << "the note still sounds in the synthesizer that missed its Note Off";
}

}  // namespace
}  // namespace keyflip
