// The main window's commands: Go, Setup, Exit, Close, Thru, Reverse and Port
// error, with every port command they send, in order.

#include "app_test_support.h"
#include "none/no_midi_system_backend.h"
#include "port_commands.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QTest>

using keyflip::MIDISetupForm;
using keyflip::PORT_CLOSE;
using keyflip::PORT_START;
using keyflip::ProgramHost;
using keyflip::testing::AppFixture;

namespace {

const QStringList kLoadCommands{"out.PortCommand <- 2", "out.PortCommand <- 1",
                                "in.PortCommand <- 1"};
const QStringList kOkCommands{"in.PortCommand <- 2", "in.PortCommand <- 1", "out.PortCommand <- 2",
                              "out.PortCommand <- 1"};
const QStringList kStarts{"in.PortCommand <- 4", "out.PortCommand <- 4"};

}  // namespace

class WindowCommandsTest : public QObject {
    Q_OBJECT

private slots:
    void firstGoShowsSetupThenStartsBothPorts_data();
    void firstGoShowsSetupThenStartsBothPorts();
    void secondGoOnlyStarts();
    void setupBeforeFirstGoClearsSetupNeeded();
    void setupWhileRunningLeavesPortsStopped();
    void exitStopsAndClosesWhateverTheState_data();
    void exitStopsAndClosesWhateverTheState();
    void closingTheWindowReadsTheInputState_data();
    void closingTheWindowReadsTheInputState();
    void nothingRunsAfterExit();
    void thruTogglesItsCheckMark();
    void reverseFlipsTheFlagOnly();
    void portError_data();
    void portError();
    void portErrorFromTheOutput();
    void deviceThatCannotOpenShowsOneBox();
    void goWithNoMidiSystemSaysSoInOneBox();
    void sameErrorWhileItsBoxIsOpenOpensNoSecondBox();
    void otherErrorWhileABoxIsOpenOpensItsOwnBox();
};

void WindowCommandsTest::firstGoShowsSetupThenStartsBothPorts_data() {
    QTest::addColumn<bool>("ok");
    QTest::newRow("Ok") << true;
    QTest::newRow("Cancel") << false;
}

void WindowCommandsTest::firstGoShowsSetupThenStartsBothPorts() {
    QFETCH(bool, ok);
    AppFixture app;
    QStringList atShow;
    app.host.onModal = [&](MIDISetupForm& form) {
        atShow = app.commands();
        (ok ? form.CmdOk : form.CmdCancel)->click();
    };
    app.form->Command1->click();

    QCOMPARE(app.host.modalShows, 1);
    QCOMPARE(atShow, kLoadCommands);
    QCOMPARE(app.commands(), atShow + (ok ? kOkCommands : QStringList{}) + kStarts);
    QVERIFY(!app.form->isSetupNeeded());
    QVERIFY(app.form->MIDIInput1->portState() > keyflip::PORT_STATE_OPEN);
    QVERIFY(app.form->MIDIOutput1->portState() > keyflip::PORT_STATE_OPEN);
    QVERIFY(app.host.boxes.empty());
}

void WindowCommandsTest::secondGoOnlyStarts() {
    AppFixture app;
    app.startAndClear();
    app.form->Command1->click();
    QCOMPARE(app.commands(), kStarts);
    QCOMPARE(app.host.modalShows, 1);
}

void WindowCommandsTest::setupBeforeFirstGoClearsSetupNeeded() {
    AppFixture app;
    QVERIFY(app.form->isSetupNeeded());
    app.form->mnuMidiSetup->trigger();
    QVERIFY(!app.form->isSetupNeeded());
    app.clearLog();
    app.form->Command1->click();
    QCOMPARE(app.commands(), kStarts);
    QCOMPARE(app.host.modalShows, 1);
}

void WindowCommandsTest::setupWhileRunningLeavesPortsStopped() {
    AppFixture app;
    app.startAndClear();
    app.form->mnuMidiSetup->trigger();
    QCOMPARE(app.commands(), kOkCommands);
    QCOMPARE(app.form->MIDIInput1->portState(), keyflip::PORT_STATE_OPEN);
    QCOMPARE(app.form->MIDIOutput1->portState(), keyflip::PORT_STATE_OPEN);
    app.clearLog();
    app.form->Command1->click();
    QCOMPARE(app.commands(), kStarts);
}

void WindowCommandsTest::exitStopsAndClosesWhateverTheState_data() {
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<int>("state");
    for (const char* trigger : {"stop", "File > Exit"}) {
        QTest::addRow("%s, never opened", trigger) << trigger << 0;
        QTest::addRow("%s, open", trigger) << trigger << 1;
        QTest::addRow("%s, started", trigger) << trigger << 2;
    }
}

void WindowCommandsTest::exitStopsAndClosesWhateverTheState() {
    QFETCH(QString, trigger);
    QFETCH(int, state);
    AppFixture app;
    if (state == 1) {
        app.setUpAndClear();
    } else if (state == 2) {
        app.startAndClear();
    }
    if (trigger == QStringLiteral("stop")) {
        app.form->stopbutton->click();
    } else {
        app.form->mnuFileExit->trigger();
    }
    QCOMPARE(app.commands(),
             (QStringList{"in.PortCommand <- 5", "in.PortCommand <- 2", "out.PortCommand <- 2"}));
    QCOMPARE(app.host.endStatuses, std::vector<int>{0});
    QVERIFY(!app.backend.inputOpen());
    QVERIFY(!app.backend.outputOpen());
}

void WindowCommandsTest::closingTheWindowReadsTheInputState_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("accesses");
    QTest::newRow("input started")
        << 2 << QStringList{"in.PortState -> 2", "in.PortState -> 2",   "in.PortCommand <- 5",
                            "in.PortState -> 1", "in.PortCommand <- 2", "out.PortCommand <- 2"};
    QTest::newRow("input open") << 1
                                << QStringList{"in.PortState -> 1", "in.PortState -> 1",
                                               "in.PortState -> 1", "in.PortCommand <- 2",
                                               "out.PortCommand <- 2"};
    QTest::newRow("input closed") << 0
                                  << QStringList{"in.PortState -> 0", "in.PortState -> 0",
                                                 "in.PortState -> 0", "out.PortCommand <- 2"};
}

void WindowCommandsTest::closingTheWindowReadsTheInputState() {
    QFETCH(int, state);
    QFETCH(QStringList, accesses);
    AppFixture app;
    app.startAndClear();
    if (state == 1) {
        app.form->MIDIInput1->setPortCommand(keyflip::PORT_STOP);
    } else if (state == 0) {
        app.form->MIDIInput1->setPortCommand(PORT_CLOSE);
    }
    app.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(app.form.get()));
    app.clearLog();

    QVERIFY(app.form->close());

    QCOMPARE(app.accesses(), accesses);
    QCOMPARE(app.host.endStatuses, std::vector<int>{0});
    QVERIFY(!app.form->isVisible());
    QVERIFY(!app.backend.inputOpen());
    QVERIFY(!app.backend.outputOpen());
}

void WindowCommandsTest::nothingRunsAfterExit() {
    AppFixture app;
    app.startAndClear();
    app.form->show();
    app.form->stopbutton->click();
    app.clearLog();

    app.form->close();
    app.form->Command1->click();
    app.form->stopbutton->click();
    app.form->reverse->click();
    app.form->mnuMidiSetup->trigger();
    qint16 code = 3;
    QString text = QStringLiteral("Gone.");
    emit app.form->MIDIInput1->PortError(code, text);

    QVERIFY(app.accesses().isEmpty());
    QCOMPARE(app.host.endStatuses, std::vector<int>{0});
    QCOMPARE(app.host.modalShows, 1);
    QVERIFY(app.host.boxes.empty());
    QVERIFY(!app.form->reverseFlag());
}

void WindowCommandsTest::thruTogglesItsCheckMark() {
    AppFixture app;
    app.startAndClear();
    QVERIFY(app.form->mnuMidiThru->isChecked());
    app.form->mnuMidiThru->trigger();
    QVERIFY(!app.form->mnuMidiThru->isChecked());
    app.play({144, 60, 100});
    app.form->mnuMidiThru->trigger();
    QVERIFY(app.form->mnuMidiThru->isChecked());
    app.play({144, 61, 100});
    QCOMPARE(app.sentMessages(),
             (std::vector<keyflip::ShortMessage>{{144, 60, 100}, {144, 61, 100}}));
    // Thru touches no port.
    QCOMPARE(app.commands(), (QStringList{"out.PortCommand <- 7", "in.PortCommand <- 6",
                                          "out.PortCommand <- 7", "in.PortCommand <- 6"}));
}

void WindowCommandsTest::reverseFlipsTheFlagOnly() {
    AppFixture app;
    QVERIFY(!app.form->reverseFlag());
    app.form->reverse->click();
    QVERIFY(app.form->reverseFlag());
    QCOMPARE(app.form->reverse->text(), QStringLiteral("reverse"));
    QVERIFY(!app.form->reverse->isChecked());
    app.form->reverse->click();
    QVERIFY(!app.form->reverseFlag());
    QVERIFY(app.accesses().isEmpty());
}

void WindowCommandsTest::portError_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("shown");
    QTest::newRow("0: nothing") << 0 << false;
    QTest::newRow("8: nothing") << 8 << false;
    for (int code : {1, 2, 3, 4, 5, 6, 7, 9, -1}) {
        QTest::addRow("%d: a box", code) << code << true;
    }
}

void WindowCommandsTest::portError() {
    QFETCH(int, code);
    QFETCH(bool, shown);
    AppFixture app;
    qint16 reported = static_cast<qint16>(code);
    QString text = QStringLiteral("Something went wrong.");
    emit app.form->MIDIInput1->PortError(reported, text);
    if (!shown) {
        QVERIFY(app.host.boxes.empty());
    } else {
        QCOMPARE(app.host.boxes.size(), std::size_t{1});
        QCOMPARE(app.host.boxes[0].kind, ProgramHost::BoxKind::PortError);
        QCOMPARE(app.host.boxes[0].title, QStringLiteral("Keyflip"));
        QCOMPARE(app.host.boxes[0].text, text);
    }
    QVERIFY(app.host.endStatuses.empty());
}

void WindowCommandsTest::portErrorFromTheOutput() {
    AppFixture app;
    qint16 code = 7;
    QString text = QStringLiteral("Lost.");
    emit app.form->MIDIOutput1->PortError(code, text);
    QCOMPARE(app.host.boxTexts(), QStringList{text});
}

void WindowCommandsTest::deviceThatCannotOpenShowsOneBox() {
    AppFixture app({"Keys A"}, {"Synth A", "Synth B"});
    app.backend.refuseDevice("Synth B");
    app.host.onModal = [](MIDISetupForm& form) {
        form.ComboMidiOut->setCurrentIndex(2);
        form.CmdOk->click();
    };
    app.form->mnuMidiSetup->trigger();
    QCOMPARE(app.host.boxTexts(),
             QStringList{QStringLiteral("The MIDI device \"Synth B\" could not be opened.")});
    QVERIFY(app.host.endStatuses.empty());
    // The program carries on.
    app.clearLog();
    app.form->Command1->click();
    QCOMPARE(app.commands(), kStarts);
}

// No MIDI system is the one cause of both ports staying closed: the first
// port to open says so, and neither says again that it is not open.
void WindowCommandsTest::goWithNoMidiSystemSaysSoInOneBox() {
    const QString reason = QStringLiteral("No MIDI system could be reached.");
    const auto backend = keyflip::createNoMidiSystemBackend(reason);
    keyflip::testing::RecordingHost host;
    keyflip::frmMain window(*backend, host);
    window.Command1->click();
    QCOMPARE(host.modalShows, 1);
    QCOMPARE(host.boxTexts(), QStringList{reason});
    QCOMPARE(window.MIDIInput1->portState(), keyflip::PORT_STATE_CLOSED);
    QCOMPARE(window.MIDIOutput1->portState(), keyflip::PORT_STATE_CLOSED);
    QVERIFY(host.endStatuses.empty());
}

void WindowCommandsTest::sameErrorWhileItsBoxIsOpenOpensNoSecondBox() {
    AppFixture app;
    int raisedWhileOpen = 0;
    app.host.whileBoxWaits = [&](const auto&) {
        if (raisedWhileOpen > 0) {
            return;
        }
        for (int i = 0; i < 3; ++i) {
            qint16 code = 3;
            QString text = QStringLiteral("Cannot open.");
            ++raisedWhileOpen;
            emit app.form->MIDIInput1->PortError(code, text);
        }
    };
    qint16 code = 3;
    QString text = QStringLiteral("Cannot open.");
    emit app.form->MIDIInput1->PortError(code, text);
    QCOMPARE(raisedWhileOpen, 3);
    QCOMPARE(app.host.boxTexts(), QStringList{text});

    // Once dismissed, the same error shows again.
    app.host.whileBoxWaits = nullptr;
    emit app.form->MIDIInput1->PortError(code, text);
    QCOMPARE(app.host.boxTexts(), (QStringList{text, text}));
}

void WindowCommandsTest::otherErrorWhileABoxIsOpenOpensItsOwnBox() {
    AppFixture app;
    bool nested = false;
    app.host.whileBoxWaits = [&](const auto&) {
        if (nested) {
            return;
        }
        nested = true;
        qint16 sameText = 6;
        QString text = QStringLiteral("Cannot open.");
        emit app.form->MIDIInput1->PortError(sameText, text);
        qint16 code = 3;
        QString other = QStringLiteral("Another device cannot open.");
        emit app.form->MIDIOutput1->PortError(code, other);
    };
    qint16 code = 3;
    QString text = QStringLiteral("Cannot open.");
    emit app.form->MIDIInput1->PortError(code, text);
    QCOMPARE(app.host.boxTexts(), (QStringList{text, text, "Another device cannot open."}));
}

QTEST_MAIN(WindowCommandsTest)
#include "tst_window_commands.moc"
