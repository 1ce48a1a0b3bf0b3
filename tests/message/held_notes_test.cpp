#include "held_notes.h"
#include "short_message_printing.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace keyflip
