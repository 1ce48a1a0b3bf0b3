#pragma once

// What the windows need from outside them: waiting on the setup dialog and on
// message boxes, and ending the program. The main window's commands (Go,
// Setup, Exit, Close, Thru, Reverse and Port error) are members of frmMain,
// written out in window_commands.cpp.

#include <QString>

class QWidget;

namespace keyflip {

class MIDISetupForm;

inline constexpr char kProgramName[] = "Keyflip";

// Waiting on the setup dialog, message boxes and ending the program. Tests
// put a recorder in its place, so that nothing blocks and the test process
// lives on after the program "ends".
class ProgramHost {
public:
    enum class BoxKind {
        PortError,  // an error a port reported; the program carries on
        Fatal,      // an error that ends the program
    };

    virtual ~ProgramHost() = default;

    // Shows the loaded dialog modally; returns once it is hidden or unloaded.
    virtual void showModal(MIDISetupForm& form) = 0;
    // A box with a single OK button; returns when the user dismisses it.
    virtual void showMessage(QWidget* parent, BoxKind kind, const QString& title,
                             const QString& text) = 0;
    // Ends the program with this exit status once the running handler is done.
    virtual void endProgram(int status) = 0;
};

// The real program: a modal event loop, QMessageBox and the application's
// exit. Ending before the event loop runs is remembered for main().
class SystemHost : public ProgramHost {
public:
    void showModal(MIDISetupForm& form) override;
    void showMessage(QWidget* parent, BoxKind kind, const QString& title,
                     const QString& text) override;
    void endProgram(int status) override;

    bool ended() const { return ended_; }
    int exitStatus() const { return exitStatus_; }

private:
    bool ended_ = false;
    int exitStatus_ = 0;
};

}  // namespace keyflip
