#include "backend_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <variant>

namespace keyflip {
namespace {

struct ChoiceCase {
    const char* name;
    std::optional<const char*> value;
    std::optional<MidiSystemChoice> expected;  // nothing: the value is refused
};

// Names the case in test listings, which would otherwise show its bytes.
void PrintTo(const ChoiceCase& value, std::ostream* out) {
    *out << value.name;
}

class MidiSystemChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(MidiSystemChoiceTest, ParsesTheVariable) {
    const auto& param = GetParam();
    std::optional<QString> value;
    if (param.value) {
        value = QString::fromUtf8(*param.value);
    }
    const auto parsed = parseMidiSystemChoice(value);
    if (param.expected) {
        ASSERT_TRUE(std::holds_alternative<MidiSystemChoice>(parsed))
            << std::get<QString>(parsed).toStdString();
        EXPECT_EQ(std::get<MidiSystemChoice>(parsed), *param.expected);
    } else {
        ASSERT_TRUE(std::holds_alternative<QString>(parsed));
        const QString& text = std::get<QString>(parsed);
        // The sentence names the variable, what it holds and what it takes.
        EXPECT_TRUE(text.contains(QLatin1String(kMidiSystemVariable))) << text.toStdString();
        EXPECT_TRUE(text.contains(QString::fromUtf8(*param.value))) << text.toStdString();
        EXPECT_TRUE(text.contains(QLatin1String("\"jack\""))) << text.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, MidiSystemChoiceTest,
    ::testing::Values(ChoiceCase{"unset", std::nullopt, MidiSystemChoice::Automatic},
                      ChoiceCase{"empty", "", MidiSystemChoice::Automatic},
                      ChoiceCase{"blank", "  ", MidiSystemChoice::Automatic},
                      ChoiceCase{"alsa", "alsa", MidiSystemChoice::PlatformSequencer},
                      ChoiceCase{"alsaInCapitals", "ALSA", MidiSystemChoice::PlatformSequencer},
                      ChoiceCase{"jack", "jack", MidiSystemChoice::Jack},
                      ChoiceCase{"jackPadded", " Jack ", MidiSystemChoice::Jack},
                      ChoiceCase{"pipewire", "pipewire", std::nullopt},
                      ChoiceCase{"jackd", "jackd", std::nullopt},
                      ChoiceCase{"number", "1", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// A choice that names no system gives a backend every port opening of which
// says why, so the user reads it in the window instead of nothing happening.
TEST(SystemBackendTest, AChoiceThatNamesNoSystemIsReportedThroughThePorts) {
    qputenv(kMidiSystemVariable, "midi-over-carrier-pigeon");
    const auto backend = createSystemBackend();
    qunsetenv(kMidiSystemVariable);
    ASSERT_NE(backend, nullptr);
    const auto reason = backend->unreachableReason();
    ASSERT_TRUE(reason.has_value());
    EXPECT_TRUE(reason->contains(QLatin1String("midi-over-carrier-pigeon")));
    const auto fault = backend->openInput("");
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->code, PortErrorCode::NoMidiSystem);
    EXPECT_EQ(backend->openOutput("").value_or(PortFault{}).code, PortErrorCode::NoMidiSystem);
    EXPECT_TRUE(backend->sourceNames().empty());
}

#if defined(KEYFLIP_PORTABLE)
// The portable build reaches JACK through RtMidi, which connects to a server
// only when asked for ports: with none there, the ports say so before they
// open, instead of opening on nothing.
TEST(SystemBackendTest, JackThroughRtMidiWithNoServerSaysSo) {
    const QByteArray oldServer = qgetenv("JACK_DEFAULT_SERVER");
    qputenv("JACK_DEFAULT_SERVER", "keyflip-no-such-server");
    qputenv(kMidiSystemVariable, "jack");
    const auto backend = createSystemBackend();
    qunsetenv(kMidiSystemVariable);
    const auto reason = backend->unreachableReason();
    if (oldServer.isNull()) {
        qunsetenv("JACK_DEFAULT_SERVER");
    } else {
        qputenv("JACK_DEFAULT_SERVER", oldServer);
    }
    EXPECT_EQ(backend->systemName(), QStringLiteral("JACK"));
    ASSERT_TRUE(reason.has_value());
    EXPECT_TRUE(reason->startsWith(QLatin1String("Keyflip cannot reach JACK.")))
        << reason->toStdString();
}
#endif

#if defined(KEYFLIP_HAVE_JACK)
struct NoServerCase {
    const char* name;
    const char* choice;      // the variable's value, empty for unset
    bool namesTheSequencer;  // whether the sentence may blame the sequencer
};

void PrintTo(const NoServerCase& value, std::ostream* out) {
    *out << value.name;
}

class NoJackServerTextTest : public ::testing::TestWithParam<NoServerCase> {};

// With no server, the sentence says why JACK was tried: a user who asked for
// JACK is not told that the sequencer, never opened, failed.
TEST_P(NoJackServerTextTest, BlamesOnlyWhatWasTried) {
    const auto& param = GetParam();
    const QByteArray oldServer = qgetenv("JACK_DEFAULT_SERVER");
    qputenv("JACK_DEFAULT_SERVER", "keyflip-no-such-server");
    qputenv(kMidiSystemVariable, param.choice);
    const auto backend = createSystemBackend();
    qunsetenv(kMidiSystemVariable);
    const auto reason = backend->unreachableReason();
    const QString system = backend->systemName();
    if (oldServer.isNull()) {
        qunsetenv("JACK_DEFAULT_SERVER");
    } else {
        qputenv("JACK_DEFAULT_SERVER", oldServer);
    }
    if (system != QLatin1String("JACK")) {
        GTEST_SKIP() << "the sequencer opened here, so JACK was not needed";
    }
    ASSERT_TRUE(reason.has_value());
    EXPECT_TRUE(reason->contains(QLatin1String("JACK server"))) << reason->toStdString();
    EXPECT_EQ(reason->contains(QLatin1String("sequencer cannot be opened")),
              param.namesTheSequencer)
        << reason->toStdString();
}

INSTANTIATE_TEST_SUITE_P(Choices, NoJackServerTextTest,
                         ::testing::Values(NoServerCase{"chosen", "jack", false},
                                           NoServerCase{"automatic", "", true}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
}  // namespace keyflip
