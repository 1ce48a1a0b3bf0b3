#include "main_window.h"

#include "port_commands.h"
#include "setup_dialog.h"

#include <QSignalBlocker>

#include <algorithm>

namespace keyflip {

// The first "go" of a run shows the setup dialog, whose load opens both
// ports; whichever button leaves it, both are then started.
void frmMain::Go() {
    if (setupneeded) {
        Setup();
    }
    MIDIInput1->setPortCommand(PORT_START);
    MIDIOutput1->setPortCommand(PORT_START);
}

void frmMain::Setup() {
    host_.showModal(MIDISetupForm::load(*this, *MIDIInput1, *MIDIOutput1, boundary_));
    boundary_.stopIfEnded();
    setupneeded = false;
}

// Sent whatever state the ports are in; the program then ends at once, so
// the Close command does not run after it.
void frmMain::Exit() {
    MIDIInput1->setPortCommand(PORT_STOP);
    MIDIInput1->setPortCommand(PORT_CLOSE);
    MIDIOutput1->setPortCommand(PORT_CLOSE);
    boundary_.end(0);
}

// A termination signal (a desktop logging out) ends the program as Exit does.
// While the box of an error that already ended it waits for the user, no
// handler runs, yet the notes must still be released and the program end:
// the desktop would otherwise kill it with them sounding.
void frmMain::Terminate() {
    if (!boundary_.ended()) {
        boundary_.run([this] { Exit(); });
        return;
    }
    if (!boundary_.reportingError()) {
        return;
    }
    ReleaseQuietly();
    host_.endProgram(HandlerBoundary::kErrorExitStatus);
}

// The program is ending where no handler runs and no box can show: an error
// box already waits, or Qt is ending it in exit() because the display is
// gone. The ports release the notes with their reports muted.
void frmMain::ReleaseQuietly() noexcept {
    const QSignalBlocker quietInput(MIDIInput1);
    const QSignalBlocker quietOutput(MIDIOutput1);
    try {
        MIDIInput1->setPortCommand(PORT_STOP);
        MIDIInput1->setPortCommand(PORT_CLOSE);
        MIDIOutput1->setPortCommand(PORT_CLOSE);
    } catch (...) {
        // Nothing is left to tell; the program is ending.
    }
}

void frmMain::Form_Unload() {
    // Two readings, one for each comparison, both always taken.
    const bool notOpen = MIDIInput1->portState() != PORT_STATE_OPEN;
    const bool notClosed = MIDIInput1->portState() != PORT_STATE_CLOSED;
    if (notOpen && notClosed) {
        MIDIInput1->setPortCommand(PORT_STOP);
    }
    if (MIDIInput1->portState() != PORT_STATE_CLOSED) {
        MIDIInput1->setPortCommand(PORT_CLOSE);
    }
    MIDIOutput1->setPortCommand(PORT_CLOSE);
    boundary_.end(0);
}

void frmMain::Reverse() {
    reverseon = !reverseon;
}

void frmMain::PortError(std::int16_t code, const QString& text) {
    if (code == PortErrorCode::None || code == PortErrorCode::MessageNotSent) {
        return;
    }
    // Events are dispatched while the box waits, so a port that keeps
    // failing would stack one box per report: the same error waits in one.
    const std::pair<std::int16_t, QString> error{code, text};
    if (std::ranges::find(openPortErrorBoxes_, error) != openPortErrorBoxes_.end()) {
        return;
    }
    openPortErrorBoxes_.push_back(error);
    host_.showMessage(this, ProgramHost::BoxKind::PortError, QString::fromLatin1(kProgramName),
                      text);
    openPortErrorBoxes_.erase(std::ranges::find(openPortErrorBoxes_, error));
    boundary_.stopIfEnded();
}

}  // namespace keyflip
