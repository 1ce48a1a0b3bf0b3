// An error that escapes a handler: a box with its description and the
// program's title, then the end of the program with a non-zero status, and
// no handler after it. Also the real boxes, as the user sees them.

#include "app_test_support.h"
#include "handler_boundary.h"
#include "incoming_queue.h"
#include "program_error.h"
#include "session_end.h"
#include "support/sanitizers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <functional>
#include <stdexcept>

using keyflip::HandlerBoundary;
using keyflip::MIDISetupForm;
using keyflip::ProgramError;
using keyflip::ProgramHost;
using keyflip::SystemHost;
using keyflip::testing::AppFixture;

class ErrorReportTest : public QObject {
    Q_OBJECT

private slots:
    void escapingErrorIsReportedAndEndsTheProgram_data();
    void escapingErrorIsReportedAndEndsTheProgram();
    void portRefusingAValueEndsTheProgram();
    void noHandlerRunsAfterTheReport();
    void handlersRunningWhileTheReportWaitsDoNothing();
#if !defined(_WIN32)
    void startUpWithoutDescriptorsSaysWhyAndEnds_data();
    void startUpWithoutDescriptorsSaysWhyAndEnds();
#endif
    void systemBoxes_data();
    void systemBoxes();
};

void ErrorReportTest::escapingErrorIsReportedAndEndsTheProgram_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("description");
    QTest::newRow("overflow") << 0 << "Overflow";
    QTest::newRow("invalid property value") << 1 << "Invalid property value";
    QTest::newRow("any other error") << 2 << "vector";
}

void ErrorReportTest::escapingErrorIsReportedAndEndsTheProgram() {
    QFETCH(int, kind);
    QFETCH(QString, description);
    AppFixture app;
    app.form->boundary().run([&] {
        if (kind == 0) {
            throw ProgramError(keyflip::kOverflowDescription);
        }
        if (kind == 1) {
            throw ProgramError(keyflip::kInvalidPropertyValueDescription);
        }
        throw std::out_of_range("vector");
    });
    QCOMPARE(app.host.boxes.size(), std::size_t{1});
    QCOMPARE(app.host.boxes[0].kind, ProgramHost::BoxKind::Fatal);
    QCOMPARE(app.host.boxes[0].title, QStringLiteral("Keyflip"));
    QCOMPARE(app.host.boxes[0].text, description);
    QCOMPARE(app.host.endStatuses, std::vector<int>{HandlerBoundary::kErrorExitStatus});
    QVERIFY(HandlerBoundary::kErrorExitStatus != 0);
    QVERIFY(app.form->boundary().ended());
}

// Ok on a dialog whose output list has lost its selection asks the output
// for device -2, which it refuses. The Setup that showed the dialog, and the
// "go" that ran it, stop there: no port is started.
void ErrorReportTest::portRefusingAValueEndsTheProgram() {
    AppFixture app;
    app.host.onModal = [](MIDISetupForm& form) {
        form.ComboMidiOut->setCurrentIndex(-1);
        form.CmdOk->click();
    };
    app.form->Command1->click();
    QCOMPARE(app.host.boxTexts(), QStringList{"Invalid property value"});
    QCOMPARE(app.host.endStatuses, std::vector<int>{1});
    QVERIFY(!app.commands().contains(QStringLiteral("in.PortCommand <- 4")));
    QVERIFY(!app.commands().contains(QStringLiteral("out.PortCommand <- 4")));
    QCOMPARE(app.accesses().last(), QStringLiteral("out.DeviceIndex <- -2"));
    QVERIFY(app.form->isSetupNeeded());
}

void ErrorReportTest::noHandlerRunsAfterTheReport() {
    AppFixture app({"Keys A"}, {"Synth A"});
    app.startAndClear();
    app.form->boundary().run([] { throw ProgramError(keyflip::kOverflowDescription); });
    app.clearLog();

    app.form->Command1->click();
    app.form->stopbutton->click();
    app.form->mnuFileExit->trigger();
    app.form->reverse->click();
    app.form->close();
    QSignalSpy waiting(app.form->MIDIInput1, &keyflip::MidiInputPort::Message);
    QVERIFY(app.backend.deliver(keyflip::ShortMessage{144, 60, 100}));
    QTRY_COMPARE(waiting.count(), 1);

    QVERIFY(app.accesses().isEmpty());
    QVERIFY(app.backend.sent().empty());
    QCOMPARE(app.host.boxes.size(), std::size_t{1});
    QCOMPARE(app.host.endStatuses, std::vector<int>{1});
}

void ErrorReportTest::handlersRunningWhileTheReportWaitsDoNothing() {
    AppFixture app;
    app.host.whileBoxWaits = [&](const auto&) {
        app.form->Command1->click();
        app.form->boundary().run([] { throw ProgramError(keyflip::kOverflowDescription); });
    };
    app.form->boundary().run([] { throw ProgramError(keyflip::kInvalidPropertyValueDescription); });
    QCOMPARE(app.host.boxTexts(), QStringList{"Invalid property value"});
    QCOMPARE(app.host.modalShows, 0);
    QCOMPARE(app.host.endStatuses, std::vector<int>{1});
}

#if !defined(_WIN32)
// Before the window exists, the system may refuse the descriptors that wake
// it: the user is told why in a box, and the program ends with status 1
// instead of aborting without a word. The limit is POSIX's.
void ErrorReportTest::startUpWithoutDescriptorsSaysWhyAndEnds_data() {
    QTest::addColumn<int>("what");
    QTest::addColumn<QString>("text");
    QTest::newRow("input queue") << 0
                                 << "Keyflip cannot create the wake-up descriptor of its MIDI "
                                    "input: Too many open files";
#if defined(KEYFLIP_SESSION_END_SIGNALS)
    QTest::newRow("termination signals") << 1
                                         << "Keyflip cannot create the socket that receives "
                                            "termination signals: Too many open files";
#endif
}

void ErrorReportTest::startUpWithoutDescriptorsSaysWhyAndEnds() {
#if defined(KEYFLIP_UNDER_ADDRESS_SANITIZER)
    // The sanitizers' runtime probes memory through a pipe of its own, which
    // the limit below refuses too, and then misreports the exception thrown.
    QSKIP("*** needs descriptors the sanitizers' runtime takes: run on the plain build ***");
#endif
    QFETCH(int, what);
    QFETCH(QString, text);
    keyflip::testing::RecordingHost host;
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit none{0, limit.rlim_max};
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &none), 0);
    const std::function<void()> create = [what] {
        if (what == 0) {
            keyflip::IncomingQueue queue;
        } else {
            static_cast<void>(keyflip::watchSessionEnd());
        }
    };
    const bool started = keyflip::runStartUp(host, create);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
    QVERIFY(!started);
    QCOMPARE(host.boxes.size(), std::size_t{1});
    QCOMPARE(host.boxes[0].kind, ProgramHost::BoxKind::Fatal);
    QCOMPARE(host.boxes[0].title, QStringLiteral("Keyflip"));
    QCOMPARE(host.boxes[0].text, text);
    QCOMPARE(host.endStatuses, std::vector<int>{HandlerBoundary::kErrorExitStatus});

    QVERIFY(keyflip::runStartUp(host, create));
    QCOMPARE(host.boxes.size(), std::size_t{1});
}
#endif

void ErrorReportTest::systemBoxes_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("icon");
    QTest::newRow("port error: no icon") << static_cast<int>(ProgramHost::BoxKind::PortError)
                                         << static_cast<int>(QMessageBox::NoIcon);
    QTest::newRow("error report") << static_cast<int>(ProgramHost::BoxKind::Fatal)
                                  << static_cast<int>(QMessageBox::Critical);
}

void ErrorReportTest::systemBoxes() {
    QFETCH(int, kind);
    QFETCH(int, icon);
    QWidget owner;
    owner.show();
    QString title;
    QString text;
    int shownIcon = -1;
    QStringList buttons;
    QTimer::singleShot(0, &owner, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box != nullptr);
        title = box->windowTitle();
        text = box->text();
        shownIcon = box->icon();
        for (const QAbstractButton* button : box->buttons()) {
            buttons.append(button->text());
        }
        box->button(QMessageBox::Ok)->click();
    });
    SystemHost().showMessage(&owner, static_cast<ProgramHost::BoxKind>(kind),
                             QStringLiteral("Keyflip"), QStringLiteral("The device went away."));
    QCOMPARE(title, QStringLiteral("Keyflip"));
    QCOMPARE(text, QStringLiteral("The device went away."));
    QCOMPARE(shownIcon, icon);
    QCOMPARE(buttons, QStringList{"OK"});
}

QTEST_MAIN(ErrorReportTest)
#include "tst_handler_boundary.moc"
