// No note outlives its key: random playing through the real ports and the
// pump, with the settings moving under held and re-struck keys. Once every
// key is up again, every Note On that went out has had its Note Off on the
// same channel and pitch, and closing the output owes nothing more. With the
// wheel playing too, once it is back at 0 as well, nothing sounds.

#include "port_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace keyflip {
namespace {

using testing_support::InMemoryPorts;
using testing_support::LoggingDisplay;
using testing_support::PlainSettings;

// Keys at both ends too, so that transpose and reverse push some pitches off
// the wire: a Note On that cannot go out must not be answered either.
constexpr std::array<int, 5> kKeys = {0, 5, 60, 61, 127};
constexpr std::array<int, 3> kChannels = {0, 1, 9};

// Per channel and pitch, Note Ons minus Note Offs that reached the output; a
// Note Off with nothing sounding is a fault of its own. Every wheel position
// strikes the wheel note again, one note struck anew, so with the wheel
// playing the synthesizer counted is one that re-strikes a sounding pitch
// and ends it at one Note Off.
std::string soundingFaults(const std::vector<WireMessage>& sent, bool restriking) {
    std::map<std::pair<int, int>, int> sounding;
    std::string faults;
    for (const auto& wire : sent) {
        const auto message = decodeShortMessage(wire.view());
        if (message && (isNoteOn(*message) || isNoteOff(*message))) {
            const std::pair<int, int> note{message->status & 0x0F, message->data1};
            if (restriking) {
                sounding[note] = isNoteOn(*message) ? 1 : 0;
            } else if ((sounding[note] += isNoteOn(*message) ? 1 : -1) < 0) {
                faults += "unmatched Note Off ";
            }
        }
    }
    for (const auto& [note, count] : sounding) {
        if (count > 0) {
            faults +=
                "sounding: " + std::to_string(note.first) + '/' + std::to_string(note.second) + ' ';
        }
    }
    return faults;
}

void playRandomly(std::uint32_t seed, int steps, bool wheel) {
    InMemoryPorts ports;
    ports.openAndStartBoth();
    PlainSettings settings;
    LoggingDisplay display(ports.backend.log());
    MessagePump pump(ports.input, ports.output, settings, display);
    std::mt19937 random(seed);
    const auto pick = [&](std::size_t below) { return random() % below; };
    // Keys down per channel and key; a key may be struck again while down.
    std::map<std::pair<int, int>, int> down;
    std::string trace;

    const auto play = [&](int status, int key, int velocity) {
        trace += std::to_string(status) + '/' + std::to_string(key) + '/' +
                 std::to_string(velocity) + ' ';
        ASSERT_TRUE(ports.backend.deliver(ShortMessage{static_cast<std::int16_t>(status),
                                                       static_cast<std::int16_t>(key),
                                                       static_cast<std::int16_t>(velocity)}));
        // Now and then several messages wait for one run.
        if (pick(3) != 0) {
            pump.run();
        }
    };
    // Both ways a keyboard says it: a Note Off, or a Note On at velocity 0.
    const auto release = [&](int channel, int key) {
        --down[{channel, key}];
        const bool asNoteOn = pick(2) == 0;
        play((asNoteOn ? 144 : 128) | channel, key, asNoteOn ? 0 : 64);
    };

    for (int step = 0; step < steps; ++step) {
        const int channel = kChannels[pick(kChannels.size())];
        const int key = kKeys[pick(kKeys.size())];
        switch (pick(wheel ? 9 : 8)) {
            case 0:
            case 1:
            case 2:
                ++down[{channel, key}];
                play(144 | channel, key, 1 + static_cast<int>(pick(127)));
                break;
            case 3:
            case 4:
                if (down[{channel, key}] > 0) {
                    release(channel, key);
                }
                break;
            case 5:
                settings.transpose = static_cast<std::int16_t>(pick(13));
                trace += "transpose=" + std::to_string(settings.transpose) + ' ';
                break;
            case 6:
                settings.reverse = !settings.reverse;
                trace += settings.reverse ? "reverse " : "unreverse ";
                break;
            case 7:
                settings.wheel = static_cast<std::int16_t>(pick(128));
                trace += "wheel=" + std::to_string(settings.wheel) + ' ';
                break;
            default:
                // The wheel, or the controller the mirror turns into it.
                play(176, pick(2) == 0 ? 1 : 126,
                     pick(3) == 0 ? 0 : 1 + static_cast<int>(pick(127)));
                break;
        }
    }
    for (auto& [note, count] : down) {
        while (count > 0) {
            release(note.first, note.second);
        }
    }
    // Both controllers the wheel can be, whatever reverse is now, at 0.
    if (wheel) {
        play(176, 1, 0);
        play(176, 126, 0);
    }
    pump.run();
    ASSERT_EQ(ports.input.pendingCount(), 0);
    EXPECT_EQ(soundingFaults(ports.backend.sent(), wheel), "") << "seed " << seed << ": " << trace;
    // The port agrees: nothing is owed, so closing sends nothing. Its ledger
    // counts each wheel position as a Note On and answers every one as it
    // closes, so the rows with the wheel end here.
    if (wheel) {
        return;
    }
    const std::size_t sentBeforeClose = ports.backend.sent().size();
    ports.output.setPortCommand(PORT_CLOSE);
    EXPECT_EQ(ports.backend.sent().size(), sentBeforeClose) << "seed " << seed;
}

TEST(HeldNoteInvariant, RandomPlayingWithMovingSettingsLeavesNothingSounding) {
    // Short runs re-strike few keys; long ones hold many at once.
    const struct {
        std::uint32_t firstSeed;
        int runs;
        int steps;
        bool wheel;
    } table[] = {{1, 300, 12, false},    {1000, 200, 60, false}, {5000, 40, 400, false},
                 {10000, 300, 12, true}, {11000, 200, 60, true}, {15000, 40, 400, true}};
    for (const auto& row : table) {
        for (int run = 0; run < row.runs && !HasFailure(); ++run) {
            playRandomly(row.firstSeed + static_cast<std::uint32_t>(run), row.steps, row.wheel);
        }
    }
}

}  // namespace
}  // namespace keyflip
