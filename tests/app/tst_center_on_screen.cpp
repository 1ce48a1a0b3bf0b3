// CenterOnScreen: the arithmetic on twips without a screen, and the move of a
// real window on the test screen, frame included once it is known.

#include "center_on_screen.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <cmath>
#include <cstdlib>

using keyflip::centredPosition;
using keyflip::TwipsPosition;

class CenterOnScreenTest : public QObject {
    Q_OBJECT

private slots:
    void position_data();
    void position();
    void movesWindowToTheMiddleOfTheScreen_data();
    void movesWindowToTheMiddleOfTheScreen();
    void theFrameEndsUpInTheMiddleOnceItIsKnown_data();
    void theFrameEndsUpInTheMiddleOnceItIsKnown();
};

namespace {

// Where a window of this size goes: halving an odd number of pixels in twips
// leaves it half a pixel left of (or above) the exact middle, and the pixel
// it lands on is the nearest one.
QPoint middleFor(const QSize& size) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const int dx = screen.width() - size.width();
    const int dy = screen.height() - size.height();
    return {screen.x() + static_cast<int>(std::lround((dx * 15 / 2) / 15.0)),
            screen.y() + static_cast<int>(std::lround((dy * 15 / 2) / 15.0))};
}

}  // namespace

void CenterOnScreenTest::position_data() {
    QTest::addColumn<double>("screenWidth");
    QTest::addColumn<double>("screenHeight");
    QTest::addColumn<double>("windowWidth");
    QTest::addColumn<double>("windowHeight");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("top");

    QTest::newRow("even differences") << 19200.0 << 10800.0 << 4890.0 << 6000.0 << 7155 << 2400;
    QTest::newRow("odd differences halve down") << 1000.0 << 1001.0 << 1.0 << 0.0 << 499 << 500;
    QTest::newRow("odd pixel difference") << 15375.0 << 9000.0 << 4890.0 << 6315.0 << 5242 << 1342;
    QTest::newRow("same size") << 4890.0 << 6000.0 << 4890.0 << 6000.0 << 0 << 0;
    QTest::newRow("larger than the screen, odd: toward zero")
        << 1000.0 << 1000.0 << 1003.0 << 1015.0 << -1 << -7;
    QTest::newRow("larger than the screen, even")
        << 1000.0 << 1000.0 << 1500.0 << 1002.0 << -250 << -1;
    QTest::newRow("fractions round to the nearest before halving")
        << 1.6 << 0.0 << 0.0 << 1.6 << 1 << -1;
    QTest::newRow("fractions below a half round down") << 101.4 << 0.0 << 0.0 << 1.4 << 50 << 0;
}

void CenterOnScreenTest::position() {
    QFETCH(double, screenWidth);
    QFETCH(double, screenHeight);
    QFETCH(double, windowWidth);
    QFETCH(double, windowHeight);
    QFETCH(int, left);
    QFETCH(int, top);
    const TwipsPosition result =
        centredPosition(screenWidth, screenHeight, windowWidth, windowHeight);
    QCOMPARE(result.left, left);
    QCOMPARE(result.top, top);
}

void CenterOnScreenTest::movesWindowToTheMiddleOfTheScreen_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("even") << QSize(100, 50);
    QTest::newRow("odd") << QSize(101, 51);
    QTest::newRow("larger than the screen") << QSize(3001, 2001);
}

void CenterOnScreenTest::movesWindowToTheMiddleOfTheScreen() {
    QFETCH(QSize, size);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QWidget window;
    window.setFixedSize(size);
    keyflip::CenterOnScreen(window);
    QCOMPARE(window.pos(), middleFor(size));
    QCOMPARE(window.size(), size);
    QVERIFY(std::abs(2 * (window.x() - screen.x()) - (screen.width() - size.width())) <= 1);
}

void CenterOnScreenTest::theFrameEndsUpInTheMiddleOnceItIsKnown_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("even") << QSize(326, 421);
    QTest::newRow("odd") << QSize(101, 51);
}

// Centred before it is shown, the window has no frame yet, as before a window
// manager frames it; Qt's offscreen screen frames a shown window with two
// pixels a side. The frame ends up in the middle, and a window moved after
// that stays where it was moved.
void CenterOnScreenTest::theFrameEndsUpInTheMiddleOnceItIsKnown() {
    QFETCH(QSize, size);
    QWidget window;
    window.setFixedSize(size);
    keyflip::CenterOnScreen(window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY2(window.frameGeometry().size() != size, "this platform frames no window");
    const QSize frame = window.frameGeometry().size();
    QTRY_COMPARE(window.frameGeometry().topLeft(), middleFor(frame));

    window.move(10, 20);
    QTRY_COMPARE(window.frameGeometry().topLeft(), QPoint(10, 20));
    QTest::qWait(50);
    QCOMPARE(window.frameGeometry().topLeft(), QPoint(10, 20));
}

QTEST_MAIN(CenterOnScreenTest)
#include "tst_center_on_screen.moc"
