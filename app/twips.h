#pragma once

#include <QFont>
#include <QLabel>
#include <QRect>
#include <QString>

namespace keyflip {

// Window positions and sizes are reckoned in twips, 1/1440 inch: 15 to the
// pixel at 96 dots per inch.
inline constexpr int kTwipsPerPixel = 15;

inline constexpr QRect pixelsFromTwips(int left, int top, int width, int height) {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

// The windows are fixed in size and laid out for text of this size. A desktop
// whose default font is larger would cut captions off, so the windows keep
// this size in the desktop's typeface.
inline constexpr int kFormFontPointSize = 9;

inline void useFormFont(QWidget& form) {
    QFont font = form.font();
    font.setPointSize(kFormFontPointSize);
    form.setFont(font);
}

// Names a control and puts it where the layout says, in twips.
template <typename Control>
Control* place(Control* control, const char* name, int left, int top, int width, int height) {
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(pixelsFromTwips(left, top, width, height));
    return control;
}

// A caption in the top left corner of its box.
inline QLabel* placeLabel(QWidget* parent, const char* name, const char* caption, int left, int top,
                          int width, int height) {
    auto* label =
        place(new QLabel(QString::fromLatin1(caption), parent), name, left, top, width, height);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace keyflip
