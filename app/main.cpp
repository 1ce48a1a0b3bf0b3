#include "backend_selection.h"
#include "handler_boundary.h"
#include "main_window.h"
#include "program_host.h"
#include "qt_event_loop.h"
#include "scheduling/short_time_slices.h"
#include "scheduling/window_thread_scheduling.h"
#include "session_end.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// A message handler is a plain function, so the one it stands in for waits
// here.
QtMessageHandler qtMessageHandler = nullptr;

std::string variable(const char* name) {
    const char* const value = std::getenv(name);
    return std::string(name) + " is " + (value != nullptr ? value : "not set");
}

// Qt aborts, with a core dump and advice to reinstall, when it finds no
// display to open a window on. Nothing is open yet, so Keyflip says what is
// missing and ends with an error status instead: the X server's variable,
// the Wayland compositor's, or both, as Qt looked for either.
void endWithoutADisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (qtMessageHandler != nullptr) {
            qtMessageHandler(type, context, text);
        }
        return;
    }
    const char* const chosen = std::getenv("QT_QPA_PLATFORM");
    const std::string platform = chosen != nullptr ? chosen : "";
    const char* const session = std::getenv("XDG_SESSION_TYPE");
    // Unchosen, Qt takes X, and Wayland first in a Wayland session.
    const bool wayland =
        platform.find("wayland") != std::string::npos ||
        (platform.empty() && (std::getenv("WAYLAND_DISPLAY") != nullptr ||
                              (session != nullptr && std::string(session) == "wayland")));
    const bool x = platform.empty() || platform.find("xcb") != std::string::npos ||
                   platform.find("wayland") == std::string::npos;
    std::string variables;
    std::string remedy;
    if (x) {
        variables = variable("DISPLAY") + ", ";
        remedy = "DISPLAY to a running X server";
    }
    if (wayland) {
        variables += variable("WAYLAND_DISPLAY") + ", ";
        remedy += std::string(x ? " or " : "") + "WAYLAND_DISPLAY to a running Wayland compositor";
    }
    std::fprintf(stderr,
                 "Keyflip cannot show its window: there is no display it can use (%s%s). Start "
                 "Keyflip from a desktop session, or set %s.\nQt reported: %s\n",
                 variables.c_str(), variable("QT_QPA_PLATFORM").c_str(), remedy.c_str(),
                 text.toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace

int main(int argc, char* argv[]) {
    keyflip::useQtEventLoop();
    qtMessageHandler = qInstallMessageHandler(endWithoutADisplay);
    QApplication application(argc, argv);
    qInstallMessageHandler(qtMessageHandler);
    QApplication::setApplicationName(QString::fromLatin1(keyflip::kProgramName));
    // Matches the window to its menu entry and icon (Wayland's app id).
    QApplication::setDesktopFileName(QStringLiteral(KEYFLIP_APP_ID));
    // This thread passes every message on; a kernel that cannot give it short
    // time slices runs it as before.
    static_cast<void>(keyflip::requestShortTimeSlices());
    // Raised while a port is open, as far as the user's rights allow; it
    // outlives the backend, whose ports give it back as they close.
    const std::unique_ptr<keyflip::WindowThreadScheduling> scheduling =
        keyflip::createWindowThreadScheduling();
    keyflip::SystemHost host;

    std::unique_ptr<keyflip::SessionEnd> sessionEnd;
    std::unique_ptr<keyflip::MidiBackend> backend;
    std::unique_ptr<keyflip::frmMain> window;
    const bool started = keyflip::runStartUp(host, [&] {
        sessionEnd = keyflip::watchSessionEnd();
        backend = keyflip::createSystemBackend();
        backend->setWindowThreadScheduling(scheduling.get());
        window = std::make_unique<keyflip::frmMain>(*backend, host);
        keyflip::endWithTheSession(*sessionEnd, *window);
    });
    if (!started) {
        return host.exitStatus();
    }
    window->show();
    // Form_Load runs before the event loop; an error there has already ended
    // the program.
    return host.ended() ? host.exitStatus() : QApplication::exec();
}
