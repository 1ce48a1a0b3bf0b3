// The MIDI Setup dialog: what its load reads and opens, its lists, Ok and
// Cancel, and its three states (not loaded, shown, hidden but loaded).

#include "app_test_support.h"

#include <QComboBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using keyflip::MIDISetupForm;
using keyflip::SystemHost;
using keyflip::testing::AppFixture;

namespace {

QStringList entries(const QComboBox& list) {
    QStringList names;
    for (int i = 0; i < list.count(); ++i) {
        names.append(list.itemText(i));
    }
    return names;
}

}  // namespace

class SetupDialogTest : public QObject {
    Q_OBJECT

private slots:
    void notLoadedAtStart();
    void loadListsAndOpensOutputFirstThenInput();
    void listContents_data();
    void listContents();
    void okReopensInputFirstOnTheChosenDevicesAndHides();
    void okThenSetupShowsTheSameSelectionsAndCancelSendsNothing();
    void cancelThenSetupRebuildsTheListsAndReopensOnTheDefaults();
    void cancelKeepsThePortsAsTheyAre();
    void leavingWithoutOkUnloads_data();
    void leavingWithoutOkUnloads();
    void realModalLoopReturns_data();
    void realModalLoopReturns();
    void noInputDeviceLeavesTheInputClosed();
};

void SetupDialogTest::notLoadedAtStart() {
    AppFixture app;
    QVERIFY(MIDISetupForm::loaded() == nullptr);
}

void SetupDialogTest::loadListsAndOpensOutputFirstThenInput() {
    AppFixture app({"Keys A", "Keys B"}, {"Synth A", "Synth B", "Synth C"});
    QStringList atShow;
    app.host.onModal = [&](MIDISetupForm&) { atShow = app.accesses(); };
    app.form->mnuMidiSetup->trigger();
    const QStringList expected{
        "out.DeviceCount -> 3",        "out.DeviceIndex <- -1",     "out.DeviceName -> Keyflip out",
        "out.DeviceIndex <- 0",        "out.DeviceName -> Synth A", "out.DeviceIndex <- 1",
        "out.DeviceName -> Synth B",   "out.DeviceIndex <- 2",      "out.DeviceName -> Synth C",
        "out.DeviceIndex <- -1",       "out.PortState -> 0",        "out.DeviceIndex -> -1",
        "out.PortCommand <- 2",        "out.DeviceIndex <- -1",     "out.PortCommand <- 1",
        "in.DeviceCount -> 3",         "in.DeviceIndex <- 0",       "in.DeviceName -> Keys A",
        "in.DeviceIndex <- 1",         "in.DeviceName -> Keys B",   "in.DeviceIndex <- 2",
        "in.DeviceName -> Keyflip in", "in.DeviceIndex <- 0",       "in.PortState -> 0",
        "in.DeviceIndex <- 0",         "in.PortCommand <- 1",
    };
    QCOMPARE(atShow, expected);
    QCOMPARE(app.backend.connectedSource(), std::string("Keys A"));
    QCOMPARE(app.backend.connectedDestination(), std::string());
    QVERIFY(app.backend.outputOpen());
}

void SetupDialogTest::listContents_data() {
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QStringList>("destinations");
    QTest::addColumn<QStringList>("inputList");
    QTest::addColumn<QStringList>("outputList");

    // Each port lists the program's own port too: the input last, the output
    // as the default entry.
    QTest::newRow("no devices") << QStringList{} << QStringList{} << QStringList{"Keyflip in"}
                                << QStringList{"Keyflip out"};
    QTest::newRow("two in, three out")
        << QStringList{"Keys A", "Keys B"} << QStringList{"Synth A", "Synth B", "Synth C"}
        << QStringList{"Keys A", "Keys B", "Keyflip in"}
        << QStringList{"Keyflip out", "Synth A", "Synth B", "Synth C"};
    QTest::newRow("unsorted, as reported")
        << QStringList{"Zither", "Accordion"} << QStringList{"Yamaha", "Bass"}
        << QStringList{"Zither", "Accordion", "Keyflip in"}
        << QStringList{"Keyflip out", "Yamaha", "Bass"};
}

void SetupDialogTest::listContents() {
    QFETCH(QStringList, sources);
    QFETCH(QStringList, destinations);
    QFETCH(QStringList, inputList);
    QFETCH(QStringList, outputList);
    std::vector<std::string> sourceNames;
    for (const auto& name : sources) {
        sourceNames.push_back(name.toStdString());
    }
    std::vector<std::string> destinationNames;
    for (const auto& name : destinations) {
        destinationNames.push_back(name.toStdString());
    }
    AppFixture app(sourceNames, destinationNames);
    app.form->mnuMidiSetup->trigger();
    const MIDISetupForm& dialog = *MIDISetupForm::loaded();
    QCOMPARE(entries(*dialog.ComboMidiIn), inputList);
    QCOMPARE(entries(*dialog.ComboMidiOut), outputList);
    QCOMPARE(dialog.ComboMidiIn->currentIndex(), 0);
    QCOMPARE(dialog.ComboMidiOut->currentIndex(), 0);
}

void SetupDialogTest::okReopensInputFirstOnTheChosenDevicesAndHides() {
    AppFixture app({"Keys A", "Keys B"}, {"Synth A", "Synth B", "Synth C"});
    app.host.onModal = [&](MIDISetupForm& form) {
        form.show();
        form.ComboMidiOut->setCurrentIndex(2);
        form.ComboMidiIn->setCurrentIndex(1);
        app.clearLog();
        form.CmdOk->click();
    };
    app.form->mnuMidiSetup->trigger();
    const QStringList expected{
        "in.PortState -> 1",    "in.PortCommand <- 2",  "in.DeviceIndex <- 1",
        "in.PortCommand <- 1",  "out.PortState -> 1",   "out.DeviceIndex -> -1",
        "out.PortCommand <- 2", "out.DeviceIndex <- 1", "out.PortCommand <- 1",
    };
    QCOMPARE(app.accesses(), expected);
    QCOMPARE(app.backend.connectedSource(), std::string("Keys B"));
    QCOMPARE(app.backend.connectedDestination(), std::string("Synth B"));
    MIDISetupForm* dialog = MIDISetupForm::loaded();
    QVERIFY(dialog != nullptr);
    QVERIFY(dialog->isHidden());
    QVERIFY(!app.form->isSetupNeeded());
}

void SetupDialogTest::okThenSetupShowsTheSameSelectionsAndCancelSendsNothing() {
    AppFixture app({"Keys A", "Keys B"}, {"Synth A", "Synth B", "Synth C"});
    app.host.onModal = [](MIDISetupForm& form) {
        form.ComboMidiOut->setCurrentIndex(3);
        form.ComboMidiIn->setCurrentIndex(1);
        form.CmdOk->click();
    };
    app.form->mnuMidiSetup->trigger();
    MIDISetupForm* const first = MIDISetupForm::loaded();
    app.clearLog();

    int shownIn = -1;
    int shownOut = -1;
    int outEntries = 0;
    app.host.onModal = [&](MIDISetupForm& form) {
        shownIn = form.ComboMidiIn->currentIndex();
        shownOut = form.ComboMidiOut->currentIndex();
        outEntries = form.ComboMidiOut->count();
        form.CmdCancel->click();
    };
    app.form->mnuMidiSetup->trigger();

    QCOMPARE(shownIn, 1);
    QCOMPARE(shownOut, 3);
    QCOMPARE(outEntries, 4);
    QVERIFY(app.accesses().isEmpty());
    QCOMPARE(app.backend.connectedSource(), std::string("Keys B"));
    QCOMPARE(app.backend.connectedDestination(), std::string("Synth C"));
    QVERIFY(MIDISetupForm::loaded() == nullptr);
    const QPointer<MIDISetupForm> cancelled(first);
    QTRY_VERIFY(cancelled.isNull());
}

void SetupDialogTest::cancelThenSetupRebuildsTheListsAndReopensOnTheDefaults() {
    AppFixture app({"Keys A", "Keys B"}, {"Synth A"});
    app.host.onModal = [](MIDISetupForm& form) {
        form.ComboMidiIn->setCurrentIndex(1);
        form.ComboMidiOut->setCurrentIndex(1);
        form.CmdOk->click();
    };
    app.form->mnuMidiSetup->trigger();
    app.host.onModal = [](MIDISetupForm& form) { form.CmdCancel->click(); };
    app.form->mnuMidiSetup->trigger();
    QVERIFY(MIDISetupForm::loaded() == nullptr);

    app.backend.setSources({"Keys C", "Keys A", "Keys B"});
    app.clearLog();
    QStringList shownInputs;
    int shownIn = -1;
    int shownOut = -1;
    app.host.onModal = [&](MIDISetupForm& form) {
        shownInputs = entries(*form.ComboMidiIn);
        shownIn = form.ComboMidiIn->currentIndex();
        shownOut = form.ComboMidiOut->currentIndex();
        form.CmdCancel->click();
    };
    app.form->mnuMidiSetup->trigger();

    QCOMPARE(shownInputs, (QStringList{"Keys C", "Keys A", "Keys B", "Keyflip in"}));
    QCOMPARE(shownIn, 0);
    QCOMPARE(shownOut, 0);
    QCOMPARE(app.commands(), (QStringList{"out.PortCommand <- 2", "out.PortCommand <- 1",
                                          "in.PortCommand <- 2", "in.PortCommand <- 1"}));
    QCOMPARE(app.backend.connectedSource(), std::string("Keys C"));
    QCOMPARE(app.backend.connectedDestination(), std::string());
}

void SetupDialogTest::cancelKeepsThePortsAsTheyAre() {
    AppFixture app({"Keys A", "Keys B"}, {"Synth A"});
    app.host.onModal = [&](MIDISetupForm& form) {
        form.ComboMidiIn->setCurrentIndex(1);
        form.ComboMidiOut->setCurrentIndex(1);
        app.clearLog();
        form.CmdCancel->click();
    };
    app.form->mnuMidiSetup->trigger();
    QVERIFY(app.accesses().isEmpty());
    QCOMPARE(app.backend.connectedSource(), std::string("Keys A"));
    QCOMPARE(app.backend.connectedDestination(), std::string());
    QVERIFY(!app.form->isSetupNeeded());
}

void SetupDialogTest::leavingWithoutOkUnloads_data() {
    QTest::addColumn<int>("way");
    QTest::newRow("Cancel") << 0;
    QTest::newRow("title bar") << 1;
    QTest::newRow("Escape") << 2;
}

void SetupDialogTest::leavingWithoutOkUnloads() {
    QFETCH(int, way);
    AppFixture app;
    QPointer<MIDISetupForm> shown;
    app.host.onModal = [&](MIDISetupForm& form) {
        shown = &form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        app.clearLog();
        if (way == 0) {
            form.CmdCancel->click();
        } else if (way == 1) {
            form.close();
        } else {
            QTest::keyClick(&form, Qt::Key_Escape);
        }
    };
    app.form->mnuMidiSetup->trigger();
    QVERIFY(MIDISetupForm::loaded() == nullptr);
    QVERIFY(app.accesses().isEmpty());
    QVERIFY(!app.form->isSetupNeeded());
    QTRY_VERIFY(shown.isNull());
}

void SetupDialogTest::realModalLoopReturns_data() {
    QTest::addColumn<bool>("ok");
    QTest::newRow("Ok hides") << true;
    QTest::newRow("Cancel unloads") << false;
}

void SetupDialogTest::realModalLoopReturns() {
    QFETCH(bool, ok);
    AppFixture app;
    bool modal = false;
    app.host.onModal = [&](MIDISetupForm& form) {
        QTimer::singleShot(0, &form, [&form, &modal, ok] {
            modal = form.isVisible() && form.isModal();
            (ok ? form.CmdOk : form.CmdCancel)->click();
        });
        SystemHost().showModal(form);
    };
    app.form->mnuMidiSetup->trigger();
    QVERIFY(modal);
    QVERIFY(!app.form->isSetupNeeded());
    QCOMPARE(MIDISetupForm::loaded() != nullptr, ok);
}

void SetupDialogTest::noInputDeviceLeavesTheInputClosed() {
    AppFixture app({"Keys A"}, {"Synth A"});
    app.backend.setUnreachable(QStringLiteral("No MIDI system here."));
    app.host.onModal = [&](MIDISetupForm& form) {
        QCOMPARE(form.ComboMidiIn->count(), 0);
        QCOMPARE(form.ComboMidiIn->currentIndex(), -1);
        QCOMPARE(entries(*form.ComboMidiOut), QStringList{"Keyflip out"});
        QCOMPARE(form.ComboMidiOut->currentIndex(), 0);
        // The system comes back before Ok: the output opens, the input list
        // stays as it was loaded.
        app.backend.setUnreachable(std::nullopt);
        form.CmdOk->click();
    };
    app.form->Command1->click();

    QCOMPARE(app.host.modalShows, 1);
    QCOMPARE(app.commands(),
             (QStringList{"out.PortCommand <- 2", "out.PortCommand <- 1", "out.PortCommand <- 2",
                          "out.PortCommand <- 1", "in.PortCommand <- 4", "out.PortCommand <- 4"}));
    for (const QString& line : app.accesses()) {
        QVERIFY2(!line.startsWith(QStringLiteral("in.DeviceIndex")), qPrintable(line));
    }
    QVERIFY(!app.backend.inputOpen());
    QVERIFY(app.backend.outputOpen());
    QCOMPARE(app.form->MIDIInput1->portState(), keyflip::PORT_STATE_CLOSED);
    QVERIFY(app.host.boxTexts().contains(QStringLiteral("The MIDI input is not open.")));
    QVERIFY(app.host.endStatuses.empty());
}

QTEST_MAIN(SetupDialogTest)
#include "tst_setup_dialog.moc"
