// OpenMidiIn and OpenMidiOut: what they read and write on the ports, in
// order, for each state a port can be in when they run.

#include "app_test_support.h"
#include "port_commands.h"
#include "port_opening.h"

#include <QComboBox>
#include <QTest>

using keyflip::MIDISetupForm;
using keyflip::OpenMidiIn;
using keyflip::OpenMidiOut;
using keyflip::PORT_CLOSE;
using keyflip::PORT_START;
using keyflip::testing::AppFixture;

class PortOpeningTest : public QObject {
    Q_OBJECT

private slots:
    void openMidiOut_data();
    void openMidiOut();
    void openMidiIn_data();
    void openMidiIn();
    void inputReopenedWhileRunningIsLeftStopped();
};

void PortOpeningTest::openMidiOut_data() {
    QTest::addColumn<int>("firstEntry");
    QTest::addColumn<bool>("closedBefore");
    QTest::addColumn<int>("entry");
    QTest::addColumn<QStringList>("accesses");

    QTest::newRow("default entry while open on the default")
        << 0 << false << 0
        << QStringList{"out.PortState -> 1", "out.DeviceIndex -> -1", "out.PortCommand <- 2",
                       "out.DeviceIndex <- -1", "out.PortCommand <- 1"};
    QTest::newRow("default entry while closed: still a close")
        << 0 << true << 0
        << QStringList{"out.PortState -> 0", "out.DeviceIndex -> -1", "out.PortCommand <- 2",
                       "out.DeviceIndex <- -1", "out.PortCommand <- 1"};
    QTest::newRow("entry 3 while open on device 0")
        << 1 << false << 3
        << QStringList{"out.PortState -> 1", "out.DeviceIndex -> 0", "out.PortCommand <- 2",
                       "out.DeviceIndex <- 2", "out.PortCommand <- 1"};
    QTest::newRow("entry 2 while closed on device 0: no close")
        << 1 << true << 2
        << QStringList{"out.PortState -> 0", "out.DeviceIndex -> 0", "out.DeviceIndex <- 1",
                       "out.PortCommand <- 1"};
}

void PortOpeningTest::openMidiOut() {
    QFETCH(int, firstEntry);
    QFETCH(bool, closedBefore);
    QFETCH(int, entry);
    QFETCH(QStringList, accesses);
    AppFixture app({"Keys A"}, {"Synth A", "Synth B", "Synth C"});
    app.form->mnuMidiSetup->trigger();
    MIDISetupForm& dialog = *MIDISetupForm::loaded();
    dialog.ComboMidiOut->setCurrentIndex(firstEntry);
    OpenMidiOut(*dialog.ComboMidiOut, *app.form->MIDIOutput1);
    if (closedBefore) {
        app.form->MIDIOutput1->setPortCommand(PORT_CLOSE);
    }
    dialog.ComboMidiOut->setCurrentIndex(entry);
    app.clearLog();

    OpenMidiOut(*dialog.ComboMidiOut, *app.form->MIDIOutput1);

    QCOMPARE(app.accesses(), accesses);
    QCOMPARE(app.form->MIDIOutput1->portState(), keyflip::PORT_STATE_OPEN);
}

void PortOpeningTest::openMidiIn_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("accesses");

    QTest::newRow("closed: no close")
        << 0 << QStringList{"in.PortState -> 0", "in.DeviceIndex <- 1", "in.PortCommand <- 1"};
    QTest::newRow("open: close first") << 1
                                       << QStringList{"in.PortState -> 1", "in.PortCommand <- 2",
                                                      "in.DeviceIndex <- 1", "in.PortCommand <- 1"};
    QTest::newRow("started: close first")
        << 2
        << QStringList{"in.PortState -> 2", "in.PortCommand <- 2", "in.DeviceIndex <- 1",
                       "in.PortCommand <- 1"};
}

void PortOpeningTest::openMidiIn() {
    QFETCH(int, state);
    QFETCH(QStringList, accesses);
    AppFixture app({"Keys A", "Keys B"}, {"Synth A"});
    app.form->mnuMidiSetup->trigger();
    if (state == 0) {
        app.form->MIDIInput1->setPortCommand(PORT_CLOSE);
    } else if (state == 2) {
        app.form->MIDIInput1->setPortCommand(PORT_START);
    }
    MIDISetupForm& dialog = *MIDISetupForm::loaded();
    dialog.ComboMidiIn->setCurrentIndex(1);
    app.clearLog();

    OpenMidiIn(*dialog.ComboMidiIn, *app.form->MIDIInput1);

    QCOMPARE(app.accesses(), accesses);
    QCOMPARE(app.backend.connectedSource(), std::string("Keys B"));
}

void PortOpeningTest::inputReopenedWhileRunningIsLeftStopped() {
    AppFixture app({"Keys A", "Keys B"}, {"Synth A"});
    app.startAndClear();
    QVERIFY(app.form->MIDIInput1->portState() != keyflip::PORT_STATE_OPEN);
    MIDISetupForm& dialog = *MIDISetupForm::loaded();
    dialog.ComboMidiIn->setCurrentIndex(1);
    OpenMidiIn(*dialog.ComboMidiIn, *app.form->MIDIInput1);
    QCOMPARE(app.form->MIDIInput1->portState(), keyflip::PORT_STATE_OPEN);
    QVERIFY(!app.backend.deliver(keyflip::ShortMessage{144, 60, 100}));
}

QTEST_MAIN(PortOpeningTest)
#include "tst_port_opening.moc"
