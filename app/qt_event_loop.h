#pragma once

#include <QtGlobal>

namespace keyflip {

// Qt's own event loop rather than glib's: glib reads the clock again after
// every wake-up, one system call more between a message's arrival and its
// answer, and nothing in Keyflip needs glib's loop. Call before the
// QApplication is made.
inline void useQtEventLoop() {
    qputenv("QT_NO_GLIB", "1");
}

}  // namespace keyflip
