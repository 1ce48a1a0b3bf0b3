#include "center_on_screen.h"

#include "program_error.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace keyflip {

namespace {

int halvedDifference(double outer, double inner) {
    // nearbyint rounds ties to even under the default rounding mode; integer
    // division then truncates toward zero.
    return static_cast<int>(std::nearbyint(outer - inner)) / 2;
}

double twipsFromPixels(int pixels) {
    return static_cast<double>(pixels) * kTwipsPerPixel;
}

int nearestPixel(int twips) {
    return static_cast<int>(std::lround(static_cast<double>(twips) / kTwipsPerPixel));
}

}  // namespace

TwipsPosition centredPosition(double screenWidth, double screenHeight, double windowWidth,
                              double windowHeight) {
    return {halvedDifference(screenWidth, windowWidth),
            halvedDifference(screenHeight, windowHeight)};
}

void CenterOnScreen(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        throw ProgramError("No screen to show the window on");
    }
    const QRect area = screen->geometry();
    const QRect frame = window.frameGeometry();
    const TwipsPosition position =
        centredPosition(twipsFromPixels(area.width()), twipsFromPixels(area.height()),
                        twipsFromPixels(frame.width()), twipsFromPixels(frame.height()));
    window.move(area.x() + nearestPixel(position.left), area.y() + nearestPixel(position.top));
}

}  // namespace keyflip
