// Hostile bytes from a real JACK client into the real window: what is one
// short message passes the rules, the rest is dropped, and the receiver never
// sees a byte out of place.

#include "window_rig.h"

#include "rewrite_rules.h"
#include "rewrite_settings.h"
#include "wire_format.h"

#include <gtest/gtest.h>

#include <QPushButton>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace keyflip::reliability {
namespace {

using namespace std::chrono_literals;
using jacktest::pumpUntil;

class HostileBytesJackTest : public JackTest {};

struct WindowDefaults : RewriteSettings {
    std::int16_t transposeAmount() const override { return 0; }
    bool reverseFlag() const override { return false; }
    std::int16_t wheelNote() const override { return 64; }
};

std::vector<std::vector<std::uint8_t>> hostileEvents() {
    std::vector<std::vector<std::uint8_t>> events = {
        {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},  // identity request
        {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7},
        {0xF0},
        {0xF7},
        {0x3C},        // a stray data byte
        {0x3C, 0x40},  // running status without its status
        {0x90, 0x3C},  // cut short
        {0x90, 0x3C, 0x40, 0x00},
        {0x90, 0x90, 0x40},  // a status where data belongs
        {0x90, 0x3C, 0xC0},
        {0xF4},
        {0xF5, 0x01},
        {0xF9},
        {0xFD},
        {0xF1, 0x80},
        {0xF2, 0x7F},
        {0xFF},
        {0xB0, 0x01, 0x7F},  // the wheel: becomes a note
        {0x90, 0x3C, 0x40},
        {0x80, 0x3C, 0x00},
    };
    // Every status byte alone, then with data bytes of every kind.
    for (int status = 0; status < 256; ++status) {
        const auto first = static_cast<std::uint8_t>(status);
        events.push_back({first});
        events.push_back({first, 0x00});
        events.push_back({first, 0x7F, 0x7F});
        events.push_back({first, 0x80, 0x00});
        events.push_back({first, 0x01, 0xFF});
    }
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> length(1, 6);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int index = 0; index < 2000; ++index) {
        std::vector<std::uint8_t> event(static_cast<std::size_t>(length(random)));
        for (auto& value : event) {
            value = static_cast<std::uint8_t>(byte(random));
        }
        events.push_back(std::move(event));
    }
    // Note Offs for every note any of the above may have left sounding, and
    // the wheel back at 0.
    for (int channel = 0; channel < 16; ++channel) {
        for (int note = 0; note < 128; ++note) {
            events.push_back(
                {static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 0});
        }
    }
    events.push_back({0xB0, 0x01, 0x00});
    return events;
}

TEST_F(HostileBytesJackTest, HostileBytesReachTheSynthOnlyAsWellFormedMessages) {
    const auto events = hostileEvents();
    const WindowDefaults settings;
    std::vector<WireMessage> expected;
    for (const auto& event : events) {
        if (const auto message = decodeShortMessage(event)) {
            if (const auto out = encodeShortMessage(rewrite(*message, settings))) {
                expected.push_back(*out);
            }
        }
    }
    runCase([&] {
        MidiSender keyboard(kKeyboardClient);
        MidiReceiver synth(kSynthClient, events.size() + 4096);
        ASSERT_TRUE(keyboard.ok() && synth.ok());
        WindowRig rig;
        rig.pressGo();
        ASSERT_EQ(rig.form->MIDIInput1->portState(), 2);
        keyboard.sendRaw(events, 64);
        EXPECT_TRUE(
            pumpUntil([&] { return keyboard.done() && synth.count() >= expected.size(); }, 20000ms))
            << synth.count() << " of " << expected.size();
        pumpUntil([] { return false; }, 100ms);
        const auto received = synth.messages();
        for (const auto& message : received) {
            ASSERT_TRUE(wellFormed(message))
                << jacktest::kNotExcusedByXruns << jacktest::hexBytes(message);
        }
        EXPECT_TRUE(jacktest::arrivedInOrder(expected, received)) << describe(received);
        EXPECT_EQ(rig.portErrorBoxes(), 0u);
        std::printf("[ FIGURES  ] hostile JACK events: %zu sent, %zu passed, %zu dropped\n",
                    events.size(), received.size(), events.size() - received.size());

        rig.form->stopbutton->click();
        // Every note was released above: nothing is owed at the end.
        EXPECT_EQ(synth.messages().size(), received.size());
    });
}

}  // namespace
}  // namespace keyflip::reliability
