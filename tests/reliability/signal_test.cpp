// The real program, on a virtual display, worked from the keyboard as a user
// would: notes held, then the program is ended from outside, by SIGTERM or
// SIGINT, by SIGTERM and SIGHUP back to back as a desktop logging out sends
// them, or by losing its display. It must release every note, close its ports
// and exit, never be killed. Only a program stuck in its release is ended by
// a second signal.

#include "program_paths.h"
#include "window_rig.h"

#include "backend_selection.h"
#include "termination_signals.h"

#include <gtest/gtest.h>

#include <QScopeGuard>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace keyflip::reliability {
namespace {

using namespace std::chrono_literals;
using jacktest::pollUntil;
using jacktest::pumpUntil;

// How the program is ended from outside.
enum class Ending {
    Terminated,
    Interrupted,
    TerminatedThenHungUp,
    DisplayServerDies,
    WindowKilled,
    // The JACK server frozen, so the release waits in libjack for ever; a
    // second SIGTERM well after the first.
    StuckThenTerminatedAgain,
};

// After this, a second signal no longer waits for the first one's release.
constexpr auto kLongAfterTheFirstSignal = TerminationSignals::kReleaseTime + 2s;

class SignalJackTest : public JackTest {
protected:
    void endingReleasesTheNotes(Ending ending);
};

// stdout of a short shell command, or nothing when it failed.
std::optional<std::string> output(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 256> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr) {
        text += chunk.data();
    }
    const int status = ::pclose(pipe);
    if (status != 0) {
        return std::nullopt;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string windowNamed(const std::string& display, const std::string& title) {
    const auto id = output("DISPLAY=" + display + " xdotool search --onlyvisible --name '^" +
                           title + "$' 2>/dev/null | head -n 1");
    return id.value_or("");
}

bool xdotool(const std::string& display, const std::string& arguments) {
    return output("DISPLAY=" + display + " timeout 10 xdotool " + arguments + " 2>/dev/null")
        .has_value();
}

// The program as a child whose exit status can be read.
class Program {
public:
    explicit Program(const std::vector<std::string>& environment) {
        std::vector<char*> env;
        for (const auto& entry : environment) {
            env.push_back(const_cast<char*>(entry.c_str()));
        }
        env.push_back(nullptr);
        char* argv[] = {const_cast<char*>(kProgramPath), nullptr};
        if (::posix_spawn(&pid_, kProgramPath, nullptr, nullptr, argv, env.data()) != 0) {
            pid_ = -1;
        }
    }
    ~Program() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool started() const { return pid_ > 0; }
    void signal(int number) const { ::kill(pid_, number); }
    // The wait status once it has ended.
    std::optional<int> ended() {
        if (!status_ && pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            }
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

void SignalJackTest::endingReleasesTheNotes(Ending ending) {
    if (!jacktest::programInPath("Xvfb") || !jacktest::programInPath("xdotool")) {
        std::fprintf(stderr, "\n*** Xvfb or xdotool missing: this test is SKIPPED ***\n\n");
        GTEST_SKIP() << "Xvfb or xdotool is not installed";
    }
    // A folder of this run's own, gone however the test ends.
    std::string work = ::testing::TempDir() + "keyflip-signal-XXXXXX";
    ASSERT_NE(::mkdtemp(work.data()), nullptr);
    const auto removeWork = qScopeGuard([&] {
        std::error_code ignored;
        std::filesystem::remove_all(work, ignored);
    });
    std::filesystem::create_directories(work + "/runtime");
    std::filesystem::permissions(work + "/runtime", std::filesystem::perms::owner_all);
    jacktest::ChildProcess xvfb(
        {"Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"},
        work + "/xvfb.txt");
    ASSERT_TRUE(xvfb.started());
    std::string display;
    ASSERT_TRUE(pollUntil(
        [&] {
            std::ifstream file(work + "/xvfb.txt");
            std::string number;
            if (file >> number && !number.empty() &&
                number.find_first_not_of("0123456789") == std::string::npos) {
                display = ':' + number;
                return true;
            }
            return false;
        },
        20000ms));

    MidiSender keyboard(kKeyboardClient);
    MidiReceiver synth(kSynthClient, 4096);
    ASSERT_TRUE(keyboard.ok() && synth.ok());

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("QT_QPA_PLATFORM=", 0) != 0 && text.rfind("DISPLAY=", 0) != 0 &&
            text.rfind("WAYLAND_DISPLAY=", 0) != 0 && text.rfind("XDG_RUNTIME_DIR=", 0) != 0 &&
            text.rfind(std::string(kMidiSystemVariable) + '=', 0) != 0) {
            environment.push_back(text);
        }
    }
    environment.push_back("DISPLAY=" + display);
    environment.push_back("XDG_RUNTIME_DIR=" + work + "/runtime");
    // Where the ALSA sequencer can be opened the program would take it; this
    // test plays through JACK.
    environment.push_back(std::string(kMidiSystemVariable) + "=jack");
    Program program(environment);
    ASSERT_TRUE(program.started());

    std::string window;
    ASSERT_TRUE(
        pollUntil([&] { return !(window = windowNamed(display, "Keyflip")).empty(); }, 30000ms));
    ASSERT_TRUE(xdotool(display, "windowfocus --sync " + window));
    // "go" has the focus; the dialog's Ok is its default button, and its input
    // list starts on device 0, the keyboard.
    ASSERT_TRUE(xdotool(display, "key space"));
    std::string setup;
    ASSERT_TRUE(
        pollUntil([&] { return !(setup = windowNamed(display, "MIDI Setup")).empty(); }, 20000ms));
    ASSERT_TRUE(xdotool(display, "windowfocus --sync " + setup));
    ASSERT_TRUE(xdotool(display, "key Return"));
    jack_client_t* const observer = synth.client();
    ASSERT_TRUE(pollUntil(
        [&] {
            const jack_port_t* in = jack_port_by_name(observer, "Keyflip:in");
            return in != nullptr && jack_port_connected_to(in, keyboard.portName().c_str());
        },
        20000ms));
    ASSERT_EQ(jack_connect(observer, "Keyflip:out", synth.portName().c_str()), 0);
    // The ports start once the dialog is gone and "go" has gone on.
    ASSERT_TRUE(pollUntil([&] { return windowNamed(display, "MIDI Setup").empty(); }, 20000ms));

    // Probes until the ports have started: a controller the rules leave alone.
    const WireMessage probe = encodeShortMessage({0xB5, 7, 0}).value();
    ASSERT_TRUE(pollUntil(
        [&] {
            if (keyboard.done() && synth.count() == 0) {
                keyboard.send({probe});
            }
            return synth.count() > 0;
        },
        20000ms));
    ASSERT_TRUE(pollUntil([&] { return keyboard.done(); }, 5000ms));
    const std::vector<WireMessage> held = {encodeShortMessage({0x90, 60, 100}).value(),
                                           encodeShortMessage({0x93, 72, 90}).value()};
    keyboard.send(held);
    ASSERT_TRUE(pollUntil(
        [&] {
            const auto messages = synth.messages();
            return !messages.empty() && messages.back() == held.back();
        },
        20000ms))
        << describe(synth.messages());

    endTimingSensitivePart();
    // A signal ends the program as File > Exit does; Qt ends it with status 1
    // when its display connection breaks.
    int expectedStatus = 0;
    switch (ending) {
        case Ending::Terminated:
            program.signal(SIGTERM);
            break;
        case Ending::Interrupted:
            program.signal(SIGINT);
            break;
        case Ending::TerminatedThenHungUp:
            program.signal(SIGTERM);
            program.signal(SIGHUP);
            break;
        case Ending::StuckThenTerminatedAgain: {
            server().signal(SIGSTOP);
            const auto wakeServer = qScopeGuard([&] { server().signal(SIGCONT); });
            program.signal(SIGTERM);
            EXPECT_FALSE(
                pollUntil([&] { return program.ended().has_value(); }, kLongAfterTheFirstSignal))
                << "the program ended though its release could not finish";
            program.signal(SIGTERM);
            ASSERT_TRUE(pollUntil([&] { return program.ended().has_value(); }, 10000ms));
            const int status = *program.ended();
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
                << "wait status " << status;
            break;
        }
        case Ending::DisplayServerDies:
            xvfb.stop(SIGKILL);
            expectedStatus = 1;
            break;
        case Ending::WindowKilled:
            // What xkill and a desktop's "force quit" do: the display drops the
            // program's connection.
            ASSERT_TRUE(xdotool(display, "windowkill " + window));
            expectedStatus = 1;
            break;
    }
    // The server, awake again, takes the ports of the program it outlived.
    if (ending == Ending::StuckThenTerminatedAgain) {
        EXPECT_TRUE(pollUntil([&] { return keyflipPorts(observer).empty(); }, 5000ms));
        return;
    }
    ASSERT_TRUE(pollUntil([&] { return program.ended().has_value(); }, 10000ms));
    const int status = *program.ended();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expectedStatus)
        << "wait status " << status;

    const auto received = synth.messages();
    const auto lastHeld = std::find(received.begin(), received.end(), held.back());
    ASSERT_NE(lastHeld, received.end());
    EXPECT_TRUE(
        jacktest::releasedAsOwed({{0x80, 60, 0}, {0x83, 72, 0}}, {lastHeld + 1, received.end()}))
        << describe(received);
    EXPECT_TRUE(pollUntil([&] { return keyflipPorts(observer).empty(); }, 5000ms));
}

TEST_F(SignalJackTest, SigtermReleasesHeldNotesClosesThePortsAndExitsZero) {
    runCase([&] { endingReleasesTheNotes(Ending::Terminated); });
}

TEST_F(SignalJackTest, SigintReleasesHeldNotesClosesThePortsAndExitsZero) {
    runCase([&] { endingReleasesTheNotes(Ending::Interrupted); });
}

// A desktop logging out sends SIGTERM and at once SIGHUP; whether the second
// lands before the first's release is out is a race, so it runs many times.
TEST_F(SignalJackTest, SigtermAndSighupBackToBackReleaseHeldNotesAndExitZero) {
    for (int run = 0; run < 15 && !HasFailure(); ++run) {
        runCase([&] { endingReleasesTheNotes(Ending::TerminatedThenHungUp); });
    }
}

TEST_F(SignalJackTest, ASecondSignalLongAfterTheFirstEndsAProgramStuckInItsRelease) {
    runCase([&] { endingReleasesTheNotes(Ending::StuckThenTerminatedAgain); });
}

TEST_F(SignalJackTest, ADisplayServerThatDiesLeavesNoNoteSounding) {
    runCase([&] { endingReleasesTheNotes(Ending::DisplayServerDies); });
}

TEST_F(SignalJackTest, AWindowKilledByTheDesktopLeavesNoNoteSounding) {
    runCase([&] { endingReleasesTheNotes(Ending::WindowKilled); });
}

// With no display to use, the program says so and ends with an error status;
// it is not aborted with a core dump.
TEST(StartWithoutADisplay, SaysWhatIsMissingAndExitsOne) {
    const struct {
        const char* settings;
        std::vector<const char*> named;  // what the sentence must say
    } cases[] = {
        {"DISPLAY=:4097", {"DISPLAY is :4097"}},  // no X server there
        {"DISPLAY=:4097 QT_QPA_PLATFORM=no-such-platform", {"DISPLAY is :4097"}},
        // No compositor there, with Qt's Wayland plugin or without.
        {"-u DISPLAY QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=keyflip-no-compositor",
         {"WAYLAND_DISPLAY is keyflip-no-compositor", "running Wayland compositor"}},
        // A Wayland session: Qt tries Wayland, then X.
        {"-u DISPLAY XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=keyflip-no-compositor",
         {"WAYLAND_DISPLAY is keyflip-no-compositor", "DISPLAY is not set"}},
    };
    for (const auto& c : cases) {
        const auto said =
            output(std::string("env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY -u XDG_SESSION_TYPE ") +
                   c.settings + " " + kProgramPath + " 2>&1; echo \"status $?\"");
        ASSERT_TRUE(said.has_value()) << c.settings;
        EXPECT_NE(said->find("Keyflip cannot show its window"), std::string::npos)
            << c.settings << ": " << *said;
        for (const char* named : c.named) {
            EXPECT_NE(said->find(named), std::string::npos) << c.settings << ": " << *said;
        }
        EXPECT_TRUE(said->ends_with("status 1")) << c.settings << ": " << *said;
    }
}

}  // namespace
}  // namespace keyflip::reliability
