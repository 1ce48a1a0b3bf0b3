// The sentence shown when the JACK client cannot open follows what JACK said,
// so a user is not told that no server runs when one refused for another
// reason.
#include "jack/jack_status_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace keyflip {
namespace {

struct StatusCase {
    const char* name;
    int status;
    const char* saying;  // a phrase the sentence must hold
};

void PrintTo(const StatusCase& value, std::ostream* out) {
    *out << value.name;
}

class JackOpenFailureTextTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(JackOpenFailureTextTest, SaysWhatJackSaid) {
    const QString text = jackOpenFailureText(static_cast<jack_status_t>(GetParam().status),
                                             JackSelection::AfterPlatformSequencer);
    EXPECT_TRUE(text.contains(QLatin1String(GetParam().saying))) << text.toStdString();
    EXPECT_TRUE(text.contains(QLatin1String("MIDI > Setup"))) << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, JackOpenFailureTextTest,
    ::testing::Values(
        StatusCase{"noServer", JackFailure | JackServerFailed, "no JACK server is running"},
        StatusCase{"versionMismatch", JackFailure | JackVersionError, "protocol version"},
        StatusCase{"versionBeforeNoServer", JackFailure | JackServerFailed | JackVersionError,
                   "protocol version"},
        StatusCase{"sharedMemory", JackFailure | JackShmFailure, "shared memory"},
        StatusCase{"serverError", JackFailure | JackServerError, "refused"},
        StatusCase{"clientInitFailed", JackFailure | JackInitFailure, "refused"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keyflip
