// Termination signals: a desktop logging out must never leave notes sounding,
// even while an error's box waits for the user or its SIGHUP follows the
// SIGTERM at once; a second signal ends a program stuck in its release;
// signals ignored at start (nohup) stay ignored.

#include "app_test_support.h"
#include "program_error.h"
#include "termination_signals.h"

#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

using keyflip::ProgramError;
using keyflip::ProgramHost;
using keyflip::ShortMessage;
using keyflip::TerminationSignals;
using keyflip::testing::AppFixture;
using keyflip::testing::RecordingHost;

namespace {

void (*handlerOf(int signal))(int) {
    struct sigaction action = {};
    ::sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

}  // namespace

class TerminationSignalsTest : public QObject {
    Q_OBJECT

private slots:
    void signalWhileTheErrorBoxWaitsReleasesTheNotesAndEnds();
    void secondSignalWaitsOnlyForARelease_data();
    void secondSignalWaitsOnlyForARelease();
    void signalsIgnoredAtStartStayIgnored();
};

void TerminationSignalsTest::signalWhileTheErrorBoxWaitsReleasesTheNotesAndEnds() {
    AppFixture app;
    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, app.form.get(),
                     [&] { app.form->Terminate(); });
    app.startAndClear();
    app.form->vslidertranspose->setValue(3);
    app.play({144, 60, 100});
    app.play({153, 36, 90});
    app.backend.clearSent();
    app.host.whileBoxWaits = [&](const RecordingHost::Box& box) {
        QCOMPARE(box.kind, ProgramHost::BoxKind::Fatal);
        ::raise(SIGTERM);
        QTRY_VERIFY(!app.host.endStatuses.empty());
    };
    app.form->boundary().run([] { throw ProgramError(keyflip::kOverflowDescription); });

    QCOMPARE(app.sentMessages(), (std::vector<ShortMessage>{{128, 63, 0}, {137, 39, 0}}));
    QCOMPARE(app.form->MIDIOutput1->portState(), std::int16_t{0});
    QCOMPARE(app.form->MIDIInput1->portState(), std::int16_t{0});
    // Ended by the signal while the box waited, then by the report itself.
    QCOMPARE(app.host.endStatuses, (std::vector<int>{1, 1}));
}

// The first signal asks for the release. A child that ends by itself after
// the signals stands for a release that finishes, one that hangs for a
// release that is stuck.
void TerminationSignalsTest::secondSignalWaitsOnlyForARelease_data() {
    QTest::addColumn<bool>("secondLate");
    QTest::addColumn<bool>("releaseHangs");
    QTest::addColumn<int>("endingSignal");  // 0: it exits with status 0
    QTest::newRow("second at once: the release ends the program") << false << false << 0;
    QTest::newRow("second at once: a release that hangs is cut short") << false << true << SIGHUP;
    QTest::newRow("second after the release time: ends it at once") << true << false << SIGHUP;
}

void TerminationSignalsTest::secondSignalWaitsOnlyForARelease() {
    QFETCH(bool, secondLate);
    QFETCH(bool, releaseHangs);
    QFETCH(int, endingSignal);
    TerminationSignals terminationSignals;
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        timespec late{};
        ::clock_gettime(CLOCK_MONOTONIC, &late);
        late.tv_sec += TerminationSignals::kReleaseTime.count() + 1;
        ::raise(SIGTERM);
        // Time passing is the case here, not a wait for another party.
        while (secondLate &&
               ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &late, nullptr) == EINTR) {
        }
        ::raise(SIGHUP);
        while (releaseHangs) {
            ::pause();
        }
        ::_exit(0);
    }
    bool reaped = false;
    const auto killChild = qScopeGuard([&] {
        if (!reaped) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    });
    int status = 0;
    const auto ended = [&] {
        reaped = reaped || ::waitpid(child, &status, WNOHANG) == child;
        return reaped;
    };
    QTRY_VERIFY_WITH_TIMEOUT(ended(), 10000);
    if (endingSignal == 0) {
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0,
                 "the second signal cut the release short");
    } else {
        QVERIFY2(WIFSIGNALED(status), "the child lived on after the second signal");
        QCOMPARE(WTERMSIG(status), endingSignal);
    }
}

void TerminationSignalsTest::signalsIgnoredAtStartStayIgnored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction hangupBefore = {};
    ::sigaction(SIGHUP, &ignore, &hangupBefore);
    void (*const terminateBefore)(int) = handlerOf(SIGTERM);
    {
        TerminationSignals terminationSignals;
        QVERIFY(handlerOf(SIGHUP) == SIG_IGN);
        QVERIFY(handlerOf(SIGTERM) != SIG_IGN && handlerOf(SIGTERM) != terminateBefore);
    }
    QVERIFY(handlerOf(SIGHUP) == SIG_IGN);
    QVERIFY(handlerOf(SIGTERM) == terminateBefore);
    ::sigaction(SIGHUP, &hangupBefore, nullptr);
}

QTEST_MAIN(TerminationSignalsTest)
#include "tst_termination_signals.moc"
