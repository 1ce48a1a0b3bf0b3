#include "held_notes.h"
#include "short_message_printing.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace keyflip {
namespace {

TEST(NoteKinds, VelocityZeroNoteOnIsANoteOff) {
    const struct {
        ShortMessage message;
        bool on;
        bool off;
    } cases[] = {
        {{144, 60, 1}, true, false},   {{159, 60, 127}, true, false}, {{144, 60, 0}, false, true},
        {{128, 60, 64}, false, true},  {{143, 60, 0}, false, true},   {{160, 60, 10}, false, false},
        {{127, 60, 10}, false, false}, {{176, 1, 0}, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNoteOn(c.message), c.on) << c.message.status << "/" << c.message.data2;
        EXPECT_EQ(isNoteOff(c.message), c.off) << c.message.status << "/" << c.message.data2;
    }
}

TEST(HeldNotes, ReleaseGivesTheRememberedPitchOnce) {
    HeldNotes held;
    held.remember({144, 60, 100}, 72);
    EXPECT_EQ(held.release({128, 60, 0}), std::optional<std::int16_t>(72));
    EXPECT_EQ(held.release({128, 60, 0}), std::nullopt);
}

TEST(HeldNotes, ChannelsAndKeysAreApart) {
    HeldNotes held;
    held.remember({144, 60, 100}, 61);
    held.remember({145, 60, 100}, 62);
    held.remember({144, 127, 100}, 139);
    EXPECT_EQ(held.release({129, 60, 0}), std::optional<std::int16_t>(62));
    EXPECT_EQ(held.release({144, 61, 0}), std::nullopt);
    EXPECT_EQ(held.release({144, 127, 0}), std::optional<std::int16_t>(139));
    EXPECT_EQ(held.release({128, 60, 0}), std::optional<std::int16_t>(61));
}

TEST(HeldNotes, KeysOutsideTheKeyboardAreNotHeld) {
    HeldNotes held;
    held.remember({144, 128, 100}, 5);
    held.remember({144, -1, 100}, 5);
    EXPECT_EQ(held.release({128, 128, 0}), std::nullopt);
    EXPECT_EQ(held.release({128, -1, 0}), std::nullopt);
    EXPECT_EQ(held.release({128, 32767, 0}), std::nullopt);
}

// A key struck again before its Note Off, the settings moved in between:
// each Note Off releases the oldest pitch still held for the key.
TEST(HeldNotes, OverlappingNotesOfOneKeyReleaseFirstInFirstOut) {
    HeldNotes held;
    held.remember({144, 60, 100}, 62);
    held.remember({144, 60, 100}, 67);
    held.remember({144, 60, 100}, 62);
    EXPECT_EQ(held.release({128, 60, 0}), std::optional<std::int16_t>(62));
    EXPECT_EQ(held.release({144, 60, 0}), std::optional<std::int16_t>(67));
    EXPECT_EQ(held.release({128, 60, 0}), std::optional<std::int16_t>(62));
    EXPECT_EQ(held.release({128, 60, 0}), std::nullopt);
}

TEST(HeldNotes, ReleaseAllHandsOverEveryHeldPitchOnceAndForgetsThem) {
    HeldNotes held;
    held.remember({144, 60, 100}, 62);
    held.remember({144, 60, 100}, 67);
    held.remember({153, 36, 90}, 91);
    held.remember({145, 5, 90}, 5);
    held.release({129, 5, 0});
    std::vector<std::pair<int, std::int16_t>> released;
    held.releaseAll(
        [&](int channel, std::int16_t pitch) { released.emplace_back(channel, pitch); });
    EXPECT_EQ(released, (std::vector<std::pair<int, std::int16_t>>{{0, 62}, {0, 67}, {9, 91}}));
    released.clear();
    held.releaseAll(
        [&](int channel, std::int16_t pitch) { released.emplace_back(channel, pitch); });
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(held.release({128, 60, 0}), std::nullopt);
}

TEST(HeldNotes, AKeyKeepsAtMostTheOverlapLimitForgettingTheOldest) {
    HeldNotes held;
    for (std::size_t index = 0; index <= HeldNotes::kMaxOverlap; ++index) {
        held.remember({144, 60, 100}, static_cast<std::int16_t>(index));
    }
    EXPECT_EQ(held.release({128, 60, 0}), std::optional<std::int16_t>(1));
}

// Repeated pitches share storage; whatever the mix of repeats, changes of
// pitch, releases, overflows and releases of everything, a key must still
// behave as a first-in, first-out list of at most kMaxOverlap pitches.
TEST(HeldNotes, BehavesAsABoundedFirstInFirstOutListPerKey) {
    using Model = std::map<std::pair<int, int>, std::deque<std::int16_t>>;
    const auto releaseAll = [](HeldNotes& held, Model& model) {
        std::vector<std::pair<int, std::int16_t>> released;
        held.releaseAll(
            [&](int channel, std::int16_t pitch) { released.emplace_back(channel, pitch); });
        std::vector<std::pair<int, std::int16_t>> expected;
        for (const auto& [channelAndKey, pitches] : model) {
            for (const std::int16_t pitch : pitches) {
                expected.emplace_back(channelAndKey.first, pitch);
            }
        }
        model.clear();
        return std::pair{released, expected};
    };
    for (unsigned seed = 1; seed <= 100; ++seed) {
        std::mt19937 random(seed);
        HeldNotes held;
        Model model;
        const std::int16_t pitches[] = {60, 62, 200};
        for (int step = 0; step < 2000; ++step) {
            const int channel = static_cast<int>(random() % 2) * 15;
            const int key = random() % 2 == 0 ? 0 : 127;
            auto& expected = model[{channel, key}];
            const unsigned what = random() % 400;
            if (what == 0) {
                const auto [released, want] = releaseAll(held, model);
                ASSERT_EQ(released, want) << "seed " << seed << " step " << step;
            } else if (what % 5 != 0) {
                // Mostly Note Ons, in long runs of one pitch, so that keys overflow.
                const std::int16_t pitch = pitches[random() % 5 == 0 ? random() % 3 : 0];
                held.remember(
                    {static_cast<std::int16_t>(144 + channel), static_cast<std::int16_t>(key), 100},
                    pitch);
                if (expected.size() == HeldNotes::kMaxOverlap) {
                    expected.pop_front();
                }
                expected.push_back(pitch);
            } else {
                std::optional<std::int16_t> want;
                if (!expected.empty()) {
                    want = expected.front();
                    expected.pop_front();
                }
                ASSERT_EQ(held.release({static_cast<std::int16_t>(128 + channel),
                                        static_cast<std::int16_t>(key), 0}),
                          want)
                    << "seed " << seed << " step " << step;
            }
        }
        const auto [released, want] = releaseAll(held, model);
        ASSERT_EQ(released, want) << "seed " << seed;
    }
}

}  // namespace
}  // namespace keyflip
