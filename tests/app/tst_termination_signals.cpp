// Termination signals: a desktop logging out must never leave notes sounding,
// even while an error's box waits for the user; a second signal ends the
// program at once; signals ignored at start (nohup) stay ignored.

#include "app_test_support.h"
#include "program_error.h"
#include "termination_signals.h"

#include <QScrollBar>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

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
    void secondSignalEndsAtOnce();
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

// The first signal only asks; the second is not asked twice.
void TerminationSignalsTest::secondSignalEndsAtOnce() {
    TerminationSignals terminationSignals;
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::raise(SIGTERM);
        ::raise(SIGTERM);
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status), "the child lived on after two signals");
    QCOMPARE(WTERMSIG(status), SIGTERM);
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
