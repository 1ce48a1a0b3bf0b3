#include "center_on_screen.h"

#include "program_error.h"

#include <QEvent>
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

// Moves the frame to the middle, as large as the frame is known now.
void centreFrame(QWidget& window, const QScreen& screen) {
    const QRect area = screen.geometry();
    const QRect frame = window.frameGeometry();
    const TwipsPosition position =
        centredPosition(twipsFromPixels(area.width()), twipsFromPixels(area.height()),
                        twipsFromPixels(frame.width()), twipsFromPixels(frame.height()));
    window.move(area.x() + nearestPixel(position.left), area.y() + nearestPixel(position.top));
}

// Until the window manager has framed a window, its frame is only its client
// area, and a window centred then lands half a title bar low. This centres
// it again, once, as soon as the frame is known: at the first move, resize
// or show after the window manager framed it. A window manager that frames
// nothing never moves it again.
class CentreOnceFramed : public QObject {
public:
    static constexpr const char* kName = "keyflipCentreOnceFramed";

    explicit CentreOnceFramed(QWidget& window) : QObject(&window) {
        setObjectName(QLatin1String(kName));
        window.installEventFilter(this);
    }

    static bool framed(const QWidget& window) {
        return window.frameGeometry().size() != window.size();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::Move && type != QEvent::Resize && type != QEvent::Show) {
            return false;
        }
        auto& window = static_cast<QWidget&>(*watched);
        const QScreen* const screen = QGuiApplication::primaryScreen();
        if (screen == nullptr || !framed(window)) {
            return false;
        }
        window.removeEventFilter(this);
        centreFrame(window, *screen);
        deleteLater();
        return false;
    }
};

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
    centreFrame(window, *screen);
    if (!CentreOnceFramed::framed(window) &&
        window.findChild<QObject*>(QLatin1String(CentreOnceFramed::kName),
                                   Qt::FindDirectChildrenOnly) == nullptr) {
        new CentreOnceFramed(window);
    }
}

}  // namespace keyflip
