// No note outlives its key: random playing through the real ports and the
// pump, with the settings moving under held and re-struck keys. Once every
// key is up again, every Note On that went out has had its Note Off on the
// same channel and pitch, and closing the output owes nothing more.

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
constexpr std::array<std::int16_t, 5> kKeys = {0, 5, 60, 61, 127};
constexpr std::array<std::int16_t, 3> kChannels = {0, 1, 9};

// Counts, per channel and pitch, what reached the output: Note Ons up, Note
// Offs down. A Note Off with nothing sounding is a fault of its own.
class SoundingAtOutput {
public:
    void take(const WireMessage& wire, std::string& fault) {
        const auto message = decodeShortMessage(wire.view());
        if (!message || message->status < 128 || message->status > 159) {
            return;
        }
        const std::pair<int, int> note{message->status & 0x0F, message->data1};
        if (isNoteOn(*message)) {
            ++sounding_[note];
        } else if (sounding_[note]-- == 0) {
            fault = "Note Off with nothing sounding on channel " + std::to_string(note.first) +
                    ", pitch " + std::to_string(note.second);
        }
    }
    std::string stillSounding() const {
        std::string text;
        for (const auto& [note, count] : sounding_) {
            if (count != 0) {
                text += "channel " + std::to_string(note.first) + " pitch " +
                        std::to_string(note.second) + " x" + std::to_string(count) + "; ";
            }
        }
        return text;
    }

private:
    std::map<std::pair<int, int>, int> sounding_;
};

struct Played {
    std::vector<std::string> steps;
    std::string trace() const {
        std::string text;
        for (const auto& step : steps) text += step + ' ';
        return text;
    }
};

void playRandomly(std::uint32_t seed, int steps) {
    InMemoryPorts ports;
    ports.openAndStartBoth();
    PlainSettings settings;
    LoggingDisplay display(ports.backend.log());
    MessagePump pump(ports.input, ports.output, settings, display);
    std::mt19937 random(seed);
    const auto pick = [&](int below) {
        return static_cast<int>(random() % static_cast<std::uint32_t>(below));
    };
    // Keys down per channel and key; a key may be struck again while down.
    std::map<std::pair<int, int>, int> down;
    Played played;

    const auto play = [&](ShortMessage message) {
        played.steps.push_back(std::to_string(message.status) + '/' +
                               std::to_string(message.data1) + '/' + std::to_string(message.data2));
        ASSERT_TRUE(ports.backend.deliver(message));
        // Now and then several messages wait for one run.
        if (pick(3) != 0) {
            pump.run();
        }
    };
    const auto release = [&](int channel, int key) {
        --down[{channel, key}];
        // Both ways a keyboard says it: a Note Off, or a Note On at velocity 0.
        const bool asNoteOn = pick(2) == 0;
        play({static_cast<std::int16_t>((asNoteOn ? 144 : 128) | channel),
              static_cast<std::int16_t>(key), static_cast<std::int16_t>(asNoteOn ? 0 : 64)});
    };

    for (int step = 0; step < steps && !::testing::Test::HasFatalFailure(); ++step) {
        const int channel = kChannels[static_cast<std::size_t>(pick(kChannels.size()))];
        const int key = kKeys[static_cast<std::size_t>(pick(kKeys.size()))];
        switch (pick(8)) {
            case 0:
            case 1:
            case 2:
                ++down[{channel, key}];
                play({static_cast<std::int16_t>(144 | channel), static_cast<std::int16_t>(key),
                      static_cast<std::int16_t>(1 + pick(127))});
                break;
            case 3:
            case 4:
                if (down[{channel, key}] > 0) {
                    release(channel, key);
                }
                break;
            case 5:
                settings.transpose = static_cast<std::int16_t>(pick(13));
                played.steps.push_back("transpose=" + std::to_string(settings.transpose));
                break;
            case 6:
                settings.reverse = !settings.reverse;
                played.steps.push_back(settings.reverse ? "reverse" : "unreverse");
                break;
            default:
                settings.wheel = static_cast<std::int16_t>(pick(128));
                played.steps.push_back("wheel=" + std::to_string(settings.wheel));
                break;
        }
    }
    for (auto& [note, count] : down) {
        while (count > 0) {
            release(note.first, note.second);
        }
    }
    pump.run();
    ASSERT_EQ(ports.input.pendingCount(), 0);

    SoundingAtOutput output;
    std::string fault;
    for (const auto& wire : ports.backend.sent()) {
        output.take(wire, fault);
        EXPECT_EQ(fault, "") << "seed " << seed << ": " << played.trace();
        fault.clear();
    }
    EXPECT_EQ(output.stillSounding(), "") << "seed " << seed << ": " << played.trace();

    // The port agrees: nothing is owed, so closing sends nothing.
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
    } table[] = {{1, 300, 12}, {1000, 200, 60}, {5000, 40, 400}};
    for (const auto& row : table) {
        for (int run = 0; run < row.runs && !HasFailure(); ++run) {
            playRandomly(row.firstSeed + static_cast<std::uint32_t>(run), row.steps);
        }
    }
}

}  // namespace
}  // namespace keyflip
