#pragma once

#include "twips.h"

class QWidget;

namespace keyflip {

struct TwipsPosition {
    int left = 0;
    int top = 0;

    friend bool operator==(const TwipsPosition&, const TwipsPosition&) = default;
};

// Where a window goes, keeping its size, to sit in the middle of the screen.
// All sizes in twips. Each difference is rounded to a whole number (ties to
// even) before it is halved, and the halving truncates toward zero, so a
// window larger than the screen gets a negative position.
TwipsPosition centredPosition(double screenWidth, double screenHeight, double windowWidth,
                              double windowHeight);

// Moves the window, frame included, to the middle of the primary screen. A
// window the window manager has not framed yet is centred again once it has
// (under Wayland the compositor places windows, and moves are not followed).
void CenterOnScreen(QWidget& window);

}  // namespace keyflip
