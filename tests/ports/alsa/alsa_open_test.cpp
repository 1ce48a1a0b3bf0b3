// Why the ALSA sequencer could not be opened, as the user reads it when the
// program starts: a user who may not open /dev/snd/seq is told that, and how
// to be given it, not to load a sequencer that is loaded.
#include "sequencer_programs.h"

#include "backend_selection.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>

#include <cstdlib>
#include <ostream>
#include <string>

namespace keyflip {
namespace {

// The user nobody, in no group: no seat, not in the audio group.
constexpr uid_t kNobody = 65534;

struct ChoiceCase {
    const char* name;
    const char* choice;  // the variable's value, empty for unset
};

void PrintTo(const ChoiceCase& value, std::ostream* out) {
    *out << value.name;
}

// Why the backend chosen as an unprivileged user gives no MIDI system; empty
// when it gives one. Asked in a child, which drops to that user for good.
std::string reasonAsNobody(const char* choice) {
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        std::string said = "could not become nobody";
        if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
            qputenv(kMidiSystemVariable, choice);
            said = createSystemBackend()->unreachableReason().value_or(QString()).toStdString();
        }
        const bool written =
            ::write(pipe[1], said.data(), said.size()) == static_cast<ssize_t>(said.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(pipe[1]);
    std::string said;
    pollfd readable{pipe[0], POLLIN, 0};
    char buffer[512];
    while (::poll(&readable, 1, 20000) == 1) {
        const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        said.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return said;
}

class SequencerPermissionTest : public alsatest::SequencerTest,
                                public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(SequencerPermissionTest, AUserWhoMayNotOpenTheSequencerIsToldSo) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can become another user here";
    }
    const std::string reason = reasonAsNobody(GetParam().choice);
    if (reason.empty()) {
        GTEST_SKIP() << "every user may open the sequencer here";
    }
    EXPECT_NE(reason.find("Permission denied on /dev/snd/seq"), std::string::npos) << reason;
    EXPECT_NE(reason.find("audio group"), std::string::npos) << reason;
    EXPECT_EQ(reason.find("modprobe"), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Choices, SequencerPermissionTest,
                         ::testing::Values(ChoiceCase{"chosen", "alsa"},
                                           ChoiceCase{"automatic", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keyflip
