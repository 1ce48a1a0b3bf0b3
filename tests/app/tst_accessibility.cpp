// What a screen reader is told about each control of both windows, and that
// every command can be reached from the keyboard alone.

#include "app_test_support.h"

#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <vector>

using keyflip::frmMain;
using keyflip::MIDISetupForm;
using keyflip::testing::AppFixture;

namespace {

QString accessibleText(QWidget* control, QAccessible::Text kind) {
    QAccessibleInterface* const accessible = QAccessible::queryAccessibleInterface(control);
    return accessible != nullptr ? accessible->text(kind) : QStringLiteral("(none)");
}

// What a screen reader announces a control by. On Linux a list's own name is
// its current entry, and the label comes from the label it is the buddy of.
QString announcedName(QWidget* control) {
    QAccessibleInterface* const accessible = QAccessible::queryAccessibleInterface(control);
    if (accessible == nullptr) {
        return QStringLiteral("(none)");
    }
    if (accessible->role() == QAccessible::ComboBox) {
        const auto labels = accessible->relations(QAccessible::Label);
        return labels.isEmpty() ? QStringLiteral("(no label)")
                                : labels.first().first->text(QAccessible::Name);
    }
    return accessible->text(QAccessible::Name);
}

QAccessible::Role accessibleRole(QWidget* control) {
    QAccessibleInterface* const accessible = QAccessible::queryAccessibleInterface(control);
    return accessible != nullptr ? accessible->role() : QAccessible::NoRole;
}

void addNameColumns() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("role");
}

void checkNameAndDescription(QWidget& window) {
    QFETCH(QString, name);
    QFETCH(int, role);
    auto* const control = window.findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control != nullptr);
    QCOMPARE(announcedName(control), name);
    QCOMPARE(control->accessibleName(), name);
    QCOMPARE(static_cast<int>(accessibleRole(control)), role);
    QVERIFY2(accessibleText(control, QAccessible::Description).size() > 20,
             "every control says what it does");
}

// The controls a user works: buttons, bars, boxes and lists.
std::vector<QWidget*> workedControls(QWidget& window) {
    std::vector<QWidget*> controls;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        const bool worked = qobject_cast<QAbstractButton*>(widget) ||
                            qobject_cast<QAbstractSlider*>(widget) ||
                            qobject_cast<QLineEdit*>(widget) || qobject_cast<QComboBox*>(widget);
        // The menu bar and its overflow button are reached with Alt instead.
        const bool inMenuBar = qobject_cast<QMenuBar*>(widget->parentWidget()) != nullptr;
        if (worked && !inMenuBar && widget->isVisibleTo(&window)) {
            controls.push_back(widget);
        }
    }
    return controls;
}

// Every control the user works is reached by Tab, and has a name.
void checkTabReachesEveryControl(QWidget& window, QWidget* first) {
    QList<QWidget*> chain;
    QWidget* widget = first;
    do {
        if (widget->focusPolicy() & Qt::TabFocus) {
            chain.append(widget);
        }
        widget = widget->nextInFocusChain();
    } while (widget != first && chain.size() < 50);
    const std::vector<QWidget*> controls = workedControls(window);
    QVERIFY(!controls.empty());
    for (QWidget* control : controls) {
        QVERIFY2(chain.contains(control), qPrintable(control->objectName()));
        QVERIFY2(!announcedName(control).isEmpty(), qPrintable(control->objectName()));
    }
}

}  // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    void mainWindowControls_data();
    void mainWindowControls();
    void setupDialogControls_data();
    void setupDialogControls();
    void barNamesFollowTheirValues();
    void tabReachesEveryControl();
    void everyMenuAndCommandHasItsOwnKey();
    void menuCommandsFromTheKeyboard_data();
    void menuCommandsFromTheKeyboard();
    void buttonsAndBarsFromTheKeyboard();
    void theFocusedBarShowsIt_data();
    void theFocusedBarShowsIt();
};

void AccessibilityTest::mainWindowControls_data() {
    addNameColumns();
    QTest::newRow("Command1") << "go" << int(QAccessible::Button);
    QTest::newRow("vslidertranspose") << "Transpose, 0 semitones" << int(QAccessible::ScrollBar);
    QTest::newRow("stopbutton") << "stop" << int(QAccessible::Button);
    QTest::newRow("message") << "msg" << int(QAccessible::EditableText);
    QTest::newRow("data1") << "data1" << int(QAccessible::EditableText);
    QTest::newRow("data2") << "data2" << int(QAccessible::EditableText);
    QTest::newRow("wheelnote") << "Wheel note, 64" << int(QAccessible::ScrollBar);
    QTest::newRow("reverse") << "reverse" << int(QAccessible::Button);
}

void AccessibilityTest::mainWindowControls() {
    AppFixture app;
    checkNameAndDescription(*app.form);
}

void AccessibilityTest::setupDialogControls_data() {
    addNameColumns();
    QTest::newRow("ComboMidiIn") << "MIDI In Device" << int(QAccessible::ComboBox);
    QTest::newRow("ComboMidiOut") << "MIDI Out Device" << int(QAccessible::ComboBox);
    QTest::newRow("CmdOk") << "Ok" << int(QAccessible::Button);
    QTest::newRow("CmdCancel") << "Cancel" << int(QAccessible::Button);
}

void AccessibilityTest::setupDialogControls() {
    AppFixture app;
    app.form->mnuMidiSetup->trigger();
    QVERIFY(MIDISetupForm::loaded() != nullptr);
    checkNameAndDescription(*MIDISetupForm::loaded());
}

void AccessibilityTest::barNamesFollowTheirValues() {
    AppFixture app;
    QScrollBar* const transpose = app.form->vslidertranspose;
    transpose->setValue(1);
    QCOMPARE(accessibleText(transpose, QAccessible::Name), QStringLiteral("Transpose, 1 semitone"));
    transpose->setValue(12);
    QCOMPARE(accessibleText(transpose, QAccessible::Name),
             QStringLiteral("Transpose, 12 semitones"));
    QCOMPARE(accessibleText(transpose, QAccessible::Value), QStringLiteral("12"));

    app.form->wheelnote->setValue(0);
    QCOMPARE(accessibleText(app.form->wheelnote, QAccessible::Name),
             QStringLiteral("Wheel note, 0"));
}

void AccessibilityTest::tabReachesEveryControl() {
    AppFixture app;
    checkTabReachesEveryControl(*app.form, app.form->Command1);
    app.form->mnuMidiSetup->trigger();
    MIDISetupForm& dialog = *MIDISetupForm::loaded();
    checkTabReachesEveryControl(dialog, dialog.ComboMidiIn);
}

void AccessibilityTest::everyMenuAndCommandHasItsOwnKey() {
    AppFixture app;
    QStringList menuKeys;
    for (QAction* menuAction : app.form->menuBar()->actions()) {
        const QString key = QKeySequence::mnemonic(menuAction->text()).toString();
        QVERIFY2(!key.isEmpty(), qPrintable(menuAction->text()));
        QVERIFY2(!menuKeys.contains(key), qPrintable(menuAction->text()));
        menuKeys.append(key);

        QStringList commandKeys;
        for (QAction* command : menuAction->menu()->actions()) {
            if (command->isSeparator()) {
                continue;
            }
            const QString commandKey = QKeySequence::mnemonic(command->text()).toString();
            QVERIFY2(!commandKey.isEmpty(), qPrintable(command->text()));
            QVERIFY2(!commandKeys.contains(commandKey), qPrintable(command->text()));
            commandKeys.append(commandKey);
        }
    }
    QCOMPARE(menuKeys.size(), 3);
}

void AccessibilityTest::menuCommandsFromTheKeyboard_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("menuKey");
    QTest::addColumn<int>("commandKey");
    QTest::newRow("File > Load Bank") << "mnuFileLoadBank" << int(Qt::Key_F) << int(Qt::Key_L);
    QTest::newRow("File > Save Bank As") << "MnuSaveBankAs" << int(Qt::Key_F) << int(Qt::Key_A);
    QTest::newRow("File > Exit") << "mnuFileExit" << int(Qt::Key_F) << int(Qt::Key_X);
    QTest::newRow("MIDI > Setup") << "mnuMidiSetup" << int(Qt::Key_M) << int(Qt::Key_S);
    QTest::newRow("MIDI > Thru") << "mnuMidiThru" << int(Qt::Key_M) << int(Qt::Key_T);
    QTest::newRow("Help > About") << "mnuHelpAbout" << int(Qt::Key_H) << int(Qt::Key_A);
}

void AccessibilityTest::menuCommandsFromTheKeyboard() {
    QFETCH(QString, action);
    QFETCH(int, menuKey);
    QFETCH(int, commandKey);
    AppFixture app;
    auto* const command = app.form->findChild<QAction*>(action);
    QVERIFY(command != nullptr);
    QSignalSpy triggered(command, &QAction::triggered);
    app.form->show();
    app.form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(app.form.get()));

    QTest::keyClick(app.form.get(), static_cast<Qt::Key>(menuKey), Qt::AltModifier);
    QMenu* const menu = app.form->menuBar()->activeAction() != nullptr
                            ? app.form->menuBar()->activeAction()->menu()
                            : nullptr;
    QVERIFY(menu != nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(menu));
    QTest::keyClick(menu, static_cast<Qt::Key>(commandKey));
    QCOMPARE(triggered.count(), 1);
}

void AccessibilityTest::buttonsAndBarsFromTheKeyboard() {
    AppFixture app;
    app.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(app.form.get()));

    QTest::keyClick(app.form->Command1, Qt::Key_Space);
    QCOMPARE(app.host.modalShows, 1);

    QTest::keyClick(app.form->vslidertranspose, Qt::Key_Down);
    QCOMPARE(app.form->transposeAmount(), 1);
    QCOMPARE(accessibleText(app.form->vslidertranspose, QAccessible::Name),
             QStringLiteral("Transpose, 1 semitone"));
    QTest::keyClick(app.form->wheelnote, Qt::Key_Right);
    QCOMPARE(app.form->wheelNote(), 65);
    QCOMPARE(accessibleText(app.form->wheelnote, QAccessible::Name),
             QStringLiteral("Wheel note, %1").arg(app.form->wheelNote()));
    QTest::keyClick(app.form->wheelnote, Qt::Key_Left);
    QCOMPARE(app.form->wheelNote(), 64);

    QTest::keyClick(app.form->reverse, Qt::Key_Space);
    QVERIFY(app.form->reverseFlag());

    QTest::keyClick(app.form->stopbutton, Qt::Key_Space);
    QCOMPARE(app.host.endStatuses, std::vector<int>{0});
}

// The arrow keys move whichever bar has the focus, so it must be seen.
void AccessibilityTest::theFocusedBarShowsIt_data() {
    QTest::addColumn<QString>("bar");
    QTest::newRow("transpose") << "vslidertranspose";
    QTest::newRow("wheel note") << "wheelnote";
}

void AccessibilityTest::theFocusedBarShowsIt() {
    QFETCH(QString, bar);
    AppFixture app;
    auto* const control = app.form->findChild<QScrollBar*>(bar);
    QVERIFY(control != nullptr);
    app.form->show();
    app.form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(app.form.get()));

    // As after a Tab: styles show focus only once the keyboard has moved it.
    app.form->setAttribute(Qt::WA_KeyboardFocusChange);
    app.form->reverse->setFocus();
    QTRY_VERIFY(app.form->reverse->hasFocus());
    const QImage unfocused = control->grab().toImage();
    control->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(control->hasFocus());
    QVERIFY(control->grab().toImage() != unfocused);
}

QTEST_MAIN(AccessibilityTest)
#include "tst_accessibility.moc"
