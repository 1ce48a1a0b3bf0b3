#include "backend_selection.h"
#include "main_window.h"
#include "short_time_slices.h"
#include "termination_signals.h"
#include "window_commands.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(keyflip::kProgramName));
    keyflip::TerminationSignals terminationSignals;
    // This thread passes every message on; a kernel that cannot give it short
    // time slices runs it as before.
    static_cast<void>(keyflip::requestShortTimeSlices());

    const std::unique_ptr<keyflip::MidiBackend> backend = keyflip::createSystemBackend();
    keyflip::SystemHost host;
    keyflip::frmMain window(*backend, host);
    QObject::connect(&terminationSignals, &keyflip::TerminationSignals::received, &window,
                     [&window] { window.Terminate(); });
    window.show();
    // Form_Load runs before the event loop; an error there has already ended
    // the program.
    return host.ended() ? host.exitStatus() : QApplication::exec();
}
