// The session's end where there are no POSIX signals to tell of it.
#include "session_end.h"

#include <QGuiApplication>

namespace keyflip {

std::unique_ptr<SessionEnd> watchSessionEnd() {
    return watchQtSessionEnd(*qGuiApp);
}

}  // namespace keyflip
