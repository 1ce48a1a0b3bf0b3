// Every libasound status goes through one check: a negative result is a
// failure that keeps the call's name and the errno, anything else is not.
#include "alsa/alsa_check.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

namespace keyflip::alsa {
namespace {

// A write or a decode answers with the bytes it handled, a query with an
// index: none of that may read as a failure.
TEST(AlsaCheckTest, ZeroAndCountsAreNoFailure) {
    EXPECT_FALSE(check(0, "snd_seq_connect_from"));
    EXPECT_FALSE(check(28, "snd_seq_event_output_direct"));
    EXPECT_FALSE(check(3L, "snd_midi_event_decode"));
}

TEST(AlsaCheckTest, ANegativeResultKeepsTheCallAndWhatTheLibrarySaid) {
    const std::optional<AlsaFailure> failed = check(-EBUSY, "snd_seq_connect_from");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->error, -EBUSY);
    EXPECT_STREQ(failed->call, "snd_seq_connect_from");
    EXPECT_EQ(failed->text().toStdString(),
              std::string("snd_seq_connect_from: ") + std::strerror(EBUSY));
    EXPECT_EQ(alsaText(failed->error).toStdString(), std::strerror(EBUSY));
}

// Codes of libasound's own, beyond errno, keep the library's words.
TEST(AlsaCheckTest, ALibraryCodeIsSaidInTheLibrarysWords) {
    const std::optional<AlsaFailure> failed =
        check(-SND_ERROR_INCOMPATIBLE_VERSION, "snd_seq_open");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->text().toStdString(), "snd_seq_open: Sound protocol is not compatible");
}

}  // namespace
}  // namespace keyflip::alsa
