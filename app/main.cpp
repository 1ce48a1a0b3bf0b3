#include "backend_selection.h"
#include "error_report.h"
#include "main_window.h"
#include "qt_event_loop.h"
#include "short_time_slices.h"
#include "termination_signals.h"
#include "window_commands.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[]) {
    keyflip::useQtEventLoop();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(keyflip::kProgramName));
    // Matches the window to its menu entry and icon (Wayland's app id).
    QApplication::setDesktopFileName(QStringLiteral(KEYFLIP_APP_ID));
    // This thread passes every message on; a kernel that cannot give it short
    // time slices runs it as before.
    static_cast<void>(keyflip::requestShortTimeSlices());
    keyflip::SystemHost host;

    std::unique_ptr<keyflip::TerminationSignals> terminationSignals;
    std::unique_ptr<keyflip::MidiBackend> backend;
    std::unique_ptr<keyflip::frmMain> window;
    const bool started = keyflip::runStartUp(host, [&] {
        terminationSignals = std::make_unique<keyflip::TerminationSignals>();
        backend = keyflip::createSystemBackend();
        window = std::make_unique<keyflip::frmMain>(*backend, host);
    });
    if (!started) {
        return host.exitStatus();
    }
    QObject::connect(terminationSignals.get(), &keyflip::TerminationSignals::received, window.get(),
                     [&window] { window->Terminate(); });
    window->show();
    // Form_Load runs before the event loop; an error there has already ended
    // the program.
    return host.ended() ? host.exitStatus() : QApplication::exec();
}
