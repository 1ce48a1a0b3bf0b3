#include "backend_selection.h"
#include "handler_boundary.h"
#include "main_window.h"
#include "program_host.h"
#include "qt_event_loop.h"
#include "session_end.h"
#include "short_time_slices.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// A message handler is a plain function, so the one it stands in for waits
// here.
QtMessageHandler qtMessageHandler = nullptr;

// Qt aborts, with a core dump and advice to reinstall, when it finds no
// display to open a window on. Nothing is open yet, so Keyflip says what is
// missing and ends with an error status instead.
void endWithoutADisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (qtMessageHandler != nullptr) {
            qtMessageHandler(type, context, text);
        }
        return;
    }
    const char* const display = std::getenv("DISPLAY");
    const char* const platform = std::getenv("QT_QPA_PLATFORM");
    std::fprintf(stderr,
                 "Keyflip cannot show its window: there is no display it can use (DISPLAY is %s, "
                 "QT_QPA_PLATFORM is %s). Start Keyflip from a desktop session, or set DISPLAY "
                 "to a running X server.\nQt reported: %s\n",
                 display != nullptr ? display : "not set",
                 platform != nullptr ? platform : "not set", text.toLocal8Bit().constData());
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
    keyflip::SystemHost host;

    std::unique_ptr<keyflip::SessionEnd> sessionEnd;
    std::unique_ptr<keyflip::MidiBackend> backend;
    std::unique_ptr<keyflip::frmMain> window;
    const bool started = keyflip::runStartUp(host, [&] {
        sessionEnd = keyflip::watchSessionEnd();
        backend = keyflip::createSystemBackend();
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
