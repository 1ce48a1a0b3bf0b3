// Both windows as laid out: every control's kind, caption and place (in
// twips, 15 to the pixel), the tab order, the window frames, the menus, the
// icon and what the controls hold at start.

#include "app_test_support.h"
#include "twips.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSet>
#include <QStyleOptionButton>
#include <QTest>

using keyflip::frmMain;
using keyflip::MIDISetupForm;
using keyflip::pixelsFromTwips;
using keyflip::testing::AppFixture;

namespace {

void addControlColumns() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
}

QString captionOf(const QWidget& control) {
    if (const auto* button = qobject_cast<const QPushButton*>(&control)) {
        return button->text();
    }
    if (const auto* label = qobject_cast<const QLabel*>(&control)) {
        return label->text();
    }
    if (const auto* box = qobject_cast<const QLineEdit*>(&control)) {
        return box->text();
    }
    return {};
}

void checkControl(const QWidget& window) {
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(int, left);
    QFETCH(int, top);
    QFETCH(int, width);
    QFETCH(int, height);
    const auto* control = window.findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control != nullptr);
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()), kind);
    QCOMPARE(captionOf(*control), caption);
    QCOMPARE(control->geometry(), pixelsFromTwips(left, top, width, height));
    QVERIFY(control->isVisibleTo(&window));
}

// The widgets that Tab visits, in order, starting from first.
QStringList tabChain(QWidget* first) {
    QStringList names;
    QWidget* widget = first;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->isVisibleTo(first->window())) {
            names.append(widget->objectName());
        }
        widget = widget->nextInFocusChain();
    } while (widget != first && names.size() < 50);
    return names;
}

}  // namespace

class WindowLayoutTest : public QObject {
    Q_OBJECT

private slots:
    void mainWindowControls_data();
    void mainWindowControls();
    void mainWindowTabOrderAndFirstFocus();
    void mainWindowFrame();
    void mainWindowIcon();
    void mainWindowStartsWithEmptyBoxesAndBarsAtRest();
    void scrollBarsStepByOne_data();
    void scrollBarsStepByOne();
    void verticalBarHasItsMinimumAtTheTop();
    void menus_data();
    void menus();
    void menuBarOrder();
    void itemsWithoutActionChangeNothing_data();
    void itemsWithoutActionChangeNothing();

    void setupDialogControls_data();
    void setupDialogControls();
    void setupDialogTabOrderAndFirstFocus();
    void setupDialogFrame();
    void captionsFitWhateverTheDesktopFont_data();
    void captionsFitWhateverTheDesktopFont();
};

void WindowLayoutTest::mainWindowControls_data() {
    addControlColumns();
    QTest::newRow("Command1") << "QPushButton"
                              << "go" << 360 << 360 << 855 << 615;
    QTest::newRow("vslidertranspose") << "QScrollBar"
                                      << "" << 1680 << 360 << 255 << 2295;
    QTest::newRow("label1") << "QLabel"
                            << "transpose" << 1440 << 2760 << 975 << 255;
    QTest::newRow("stopbutton") << "QPushButton"
                                << "stop" << 360 << 1200 << 855 << 615;
    QTest::newRow("message") << "QLineEdit"
                             << "" << 2520 << 360 << 1455 << 375;
    QTest::newRow("Label2") << "QLabel"
                            << "msg" << 4200 << 480 << 495 << 255;
    QTest::newRow("data1") << "QLineEdit"
                           << "" << 2520 << 960 << 1455 << 375;
    QTest::newRow("data2") << "QLineEdit"
                           << "" << 2520 << 1560 << 1455 << 375;
    QTest::newRow("Label3") << "QLabel"
                            << "data1" << 4200 << 1080 << 615 << 255;
    QTest::newRow("Label4") << "QLabel"
                            << "data2" << 4200 << 1560 << 495 << 255;
    QTest::newRow("wheelnote") << "QScrollBar"
                               << "" << 360 << 4560 << 3375 << 255;
    QTest::newRow("Label5") << "QLabel"
                            << "wheelnote" << 480 << 4080 << 3375 << 255;
    QTest::newRow("reverse") << "QPushButton"
                             << "reverse" << 360 << 2040 << 855 << 495;
}

void WindowLayoutTest::mainWindowControls() {
    AppFixture app;
    checkControl(*app.form->client());
}

void WindowLayoutTest::mainWindowTabOrderAndFirstFocus() {
    AppFixture app;
    const QStringList expected{"Command1", "vslidertranspose", "stopbutton", "message", "data1",
                               "data2",    "wheelnote",        "reverse"};
    QCOMPARE(tabChain(app.form->Command1), expected);
    app.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(app.form.get()));
    QCOMPARE(app.form->focusWidget(), app.form->Command1);
}

void WindowLayoutTest::mainWindowFrame() {
    AppFixture app;
    frmMain& form = *app.form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.windowTitle(), QStringLiteral("Keyflip"));
    // The client area below the menu bar is 4890 x 5280 twips.
    QCOMPARE(form.client()->geometry(), QRect(0, form.menuBar()->height(), 4890 / 15, 5280 / 15));
    QCOMPARE(form.size(), QSize(326, 352 + form.menuBar()->height()));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(form.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!form.MIDIInput1->isWidgetType());
    QVERIFY(!form.MIDIOutput1->isWidgetType());
}

void WindowLayoutTest::mainWindowIcon() {
    const QImage picture(QStringLiteral(":/keyflip/keyflip.xpm"));
    QCOMPARE(picture.size(), QSize(32, 32));
    QSet<QRgb> colours;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            colours.insert(picture.pixel(x, y));
        }
    }
    QVERIFY2(colours.size() <= 16, qPrintable(QString::number(colours.size())));
    QVERIFY(colours.size() >= 4);

    AppFixture app;
    const QImage shown = app.form->windowIcon().pixmap(32, 32).toImage();
    QCOMPARE(shown.convertToFormat(QImage::Format_ARGB32),
             picture.convertToFormat(QImage::Format_ARGB32));
}

void WindowLayoutTest::mainWindowStartsWithEmptyBoxesAndBarsAtRest() {
    AppFixture app;
    const frmMain& form = *app.form;
    QVERIFY(form.message->text().isEmpty());
    QVERIFY(form.data1->text().isEmpty());
    QVERIFY(form.data2->text().isEmpty());
    for (const QLineEdit* box : {form.message, form.data1, form.data2}) {
        QVERIFY(!box->isReadOnly());
    }
    QCOMPARE(form.vslidertranspose->orientation(), Qt::Vertical);
    QCOMPARE(form.vslidertranspose->minimum(), 0);
    QCOMPARE(form.vslidertranspose->maximum(), 12);
    QCOMPARE(form.vslidertranspose->value(), 0);
    QCOMPARE(form.wheelnote->orientation(), Qt::Horizontal);
    QCOMPARE(form.wheelnote->minimum(), 0);
    QCOMPARE(form.wheelnote->maximum(), 127);
    QCOMPARE(form.wheelnote->value(), 64);
    QVERIFY(!form.reverse->isCheckable());
    QVERIFY(form.isSetupNeeded());
    QVERIFY(!form.reverseFlag());
    // No port is touched at load.
    QVERIFY(app.accesses().isEmpty());
}

void WindowLayoutTest::scrollBarsStepByOne_data() {
    QTest::addColumn<QString>("bar");
    QTest::addColumn<int>("start");
    QTest::newRow("vslidertranspose") << "vslidertranspose" << 5;
    QTest::newRow("wheelnote") << "wheelnote" << 64;
}

void WindowLayoutTest::scrollBarsStepByOne() {
    QFETCH(QString, bar);
    QFETCH(int, start);
    AppFixture app;
    auto* scrollBar = app.form->client()->findChild<QScrollBar*>(bar);
    QVERIFY(scrollBar != nullptr);
    QCOMPARE(scrollBar->singleStep(), 1);
    QCOMPARE(scrollBar->pageStep(), 1);
    scrollBar->setValue(start);
    scrollBar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(scrollBar->value(), start + 1);
    scrollBar->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QCOMPARE(scrollBar->value(), start + 2);
    scrollBar->triggerAction(QAbstractSlider::SliderPageStepSub);
    scrollBar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(scrollBar->value(), start);
}

void WindowLayoutTest::verticalBarHasItsMinimumAtTheTop() {
    AppFixture app;
    QScrollBar& bar = *app.form->vslidertranspose;
    app.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(app.form.get()));
    QVERIFY(!bar.invertedAppearance());
    // A click low in the trough moves the thumb down and raises the value.
    QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(bar.width() / 2, bar.height() - 20));
    QCOMPARE(bar.value(), 1);
    QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(bar.width() / 2, bar.height() - 20));
    QCOMPARE(bar.value(), 2);
}

void WindowLayoutTest::menus_data() {
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("separator");
    QTest::addColumn<bool>("checkable");
    QTest::addColumn<bool>("checked");
    QTest::newRow("mnuFileLoadBank") << "mnuFile"
                                     << "&Load Bank" << false << false << false;
    QTest::newRow("MnuSaveBankAs") << "mnuFile"
                                   << "Save Bank &As..." << false << false << false;
    QTest::newRow("mnuFileSep1") << "mnuFile"
                                 << "" << true << false << false;
    QTest::newRow("mnuFileExit") << "mnuFile"
                                 << "E&xit" << false << false << false;
    QTest::newRow("mnuMidiSetup") << "mnuMidi"
                                  << "&Setup" << false << false << false;
    QTest::newRow("mnuMidiThru") << "mnuMidi"
                                 << "&Thru" << false << true << true;
    QTest::newRow("mnuHelpAbout") << "mnuHelp"
                                  << "&About" << false << false << false;
}

void WindowLayoutTest::menus() {
    QFETCH(QString, menu);
    QFETCH(QString, caption);
    QFETCH(bool, separator);
    QFETCH(bool, checkable);
    QFETCH(bool, checked);
    AppFixture app;
    const auto* owner = app.form->findChild<QMenu*>(menu);
    QVERIFY(owner != nullptr);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QAction* item = nullptr;
    for (QAction* action : owner->actions()) {
        if (action->objectName() == name) {
            item = action;
        }
    }
    QVERIFY(item != nullptr);
    QCOMPARE(item->text(), caption);
    QCOMPARE(item->isSeparator(), separator);
    QCOMPARE(item->isCheckable(), checkable);
    QCOMPARE(item->isChecked(), checked);
    QVERIFY(item->isEnabled());
    QVERIFY(item->isVisible());
}

void WindowLayoutTest::menuBarOrder() {
    AppFixture app;
    QStringList titles;
    for (const QAction* action : app.form->menuBar()->actions()) {
        titles.append(action->text());
    }
    QCOMPARE(titles, (QStringList{"&File", "&MIDI", "&Help"}));
    QStringList fileItems;
    for (const QAction* action : app.form->mnuFile->actions()) {
        fileItems.append(action->objectName());
    }
    QCOMPARE(fileItems,
             (QStringList{"mnuFileLoadBank", "MnuSaveBankAs", "mnuFileSep1", "mnuFileExit"}));
    QCOMPARE(app.form->mnuMidi->actions(),
             (QList<QAction*>{app.form->mnuMidiSetup, app.form->mnuMidiThru}));
    QCOMPARE(app.form->mnuHelp->actions(), (QList<QAction*>{app.form->mnuHelpAbout}));
}

void WindowLayoutTest::itemsWithoutActionChangeNothing_data() {
    QTest::addColumn<QString>("item");
    QTest::newRow("Load Bank") << "mnuFileLoadBank";
    QTest::newRow("Save Bank As...") << "MnuSaveBankAs";
    QTest::newRow("About") << "mnuHelpAbout";
}

void WindowLayoutTest::itemsWithoutActionChangeNothing() {
    QFETCH(QString, item);
    AppFixture app;
    app.startAndClear();
    app.play({144, 60, 100});
    app.clearLog();
    auto* action = app.form->findChild<QAction*>(item);
    QVERIFY(action != nullptr);
    action->trigger();
    QVERIFY(app.accesses().isEmpty());
    QVERIFY(app.host.boxes.empty());
    QCOMPARE(app.host.modalShows, 1);
    QVERIFY(app.host.endStatuses.empty());
    QCOMPARE(app.form->message->text(), QStringLiteral("144"));
    QVERIFY(!app.form->isSetupNeeded());
    QVERIFY(app.form->mnuMidiThru->isChecked());
}

void WindowLayoutTest::setupDialogControls_data() {
    addControlColumns();
    QTest::newRow("ComboMidiIn") << "QComboBox"
                                 << "" << 120 << 540 << 2265 << 300;
    QTest::newRow("ComboMidiOut") << "QComboBox"
                                  << "" << 2460 << 540 << 2265 << 300;
    QTest::newRow("Label1") << "QLabel"
                            << "MIDI In Device" << 150 << 240 << 2115 << 255;
    QTest::newRow("Label2") << "QLabel"
                            << "MIDI Out Device" << 2490 << 240 << 2025 << 255;
    QTest::newRow("CmdOk") << "QPushButton"
                           << "Ok" << 5010 << 240 << 1005 << 375;
    QTest::newRow("CmdCancel") << "QPushButton"
                               << "Cancel" << 5010 << 690 << 1005 << 375;
}

void WindowLayoutTest::setupDialogControls() {
    AppFixture app;
    app.form->mnuMidiSetup->trigger();
    MIDISetupForm* dialog = MIDISetupForm::loaded();
    QVERIFY(dialog != nullptr);
    checkControl(*dialog);
    // Lists to pick from, never to type in.
    QVERIFY(!dialog->ComboMidiIn->isEditable());
    QVERIFY(!dialog->ComboMidiOut->isEditable());
}

void WindowLayoutTest::setupDialogTabOrderAndFirstFocus() {
    AppFixture app;
    app.host.onModal = [](MIDISetupForm& form) {
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.focusWidget(), form.ComboMidiIn);
        QCOMPARE(tabChain(form.ComboMidiIn),
                 (QStringList{"ComboMidiIn", "ComboMidiOut", "CmdOk", "CmdCancel"}));
        form.CmdOk->click();
    };
    app.form->mnuMidiSetup->trigger();
    QCOMPARE(app.host.modalShows, 1);
}

void WindowLayoutTest::setupDialogFrame() {
    AppFixture app;
    app.form->mnuMidiSetup->trigger();
    MIDISetupForm& dialog = *MIDISetupForm::loaded();
    QCOMPARE(dialog.windowTitle(), QStringLiteral("MIDI Setup"));
    QCOMPARE(dialog.size(), QSize(6315 / 15, 1200 / 15));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(dialog.isWindow());
    QCOMPARE(dialog.windowType(), Qt::Dialog);
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!dialog.isSizeGripEnabled());
}

// Desktops set their own default font, often larger than Qt's 9 points; the
// windows are fixed in size, so every caption must still be whole. At 9 points
// the ink of "data2" already reaches one pixel past its box, unseen; a larger
// font cuts whole letters off.
void WindowLayoutTest::captionsFitWhateverTheDesktopFont_data() {
    QTest::addColumn<int>("points");
    for (const int points : {8, 9, 10, 11, 12, 16}) {
        QTest::addRow("%d pt", points) << points;
    }
}

void WindowLayoutTest::captionsFitWhateverTheDesktopFont() {
    QFETCH(int, points);
    const QFont desktopFont = QApplication::font();
    const auto restoreFont = qScopeGuard([&] { QApplication::setFont(desktopFont); });
    QFont font = desktopFont;
    font.setPointSize(points);
    QApplication::setFont(font);

    AppFixture app;
    app.form->mnuMidiSetup->trigger();
    const QList<QWidget*> windows{app.form.get(), MIDISetupForm::loaded()};
    for (const QWidget* window : windows) {
        const auto fits = [](const QWidget& control, const QString& caption, const QRect& box) {
            const QFontMetrics metrics = control.fontMetrics();
            const QRect ink = metrics.tightBoundingRect(caption);
            return ink.width() <= box.width() + 1 && metrics.height() <= box.height();
        };
        for (const QLabel* label : window->findChildren<QLabel*>()) {
            QVERIFY2(fits(*label, label->text(), label->contentsRect()),
                     qPrintable(label->objectName()));
        }
        for (const QPushButton* button : window->findChildren<QPushButton*>()) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            const QRect text =
                button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            QVERIFY2(fits(*button, button->text(), text), qPrintable(button->objectName()));
        }
    }
}

QTEST_MAIN(WindowLayoutTest)
#include "tst_window_layout.moc"
