#pragma once

#include <QRect>

namespace keyflip {

// Window positions and sizes are reckoned in twips, 1/1440 inch: 15 to the
// pixel at 96 dots per inch.
inline constexpr int kTwipsPerPixel = 15;

inline constexpr QRect pixelsFromTwips(int left, int top, int width, int height) {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

}  // namespace keyflip
