#pragma once

#include "in_memory_backend.h"
#include "main_window.h"
#include "program_host.h"
#include "setup_dialog.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace keyflip::testing {

// Stands in for dialogs, boxes and the end of the program: records what the
// windows asked for and never blocks, so the test process outlives "Exit".
class RecordingHost : public ProgramHost {
public:
    struct Box {
        BoxKind kind;
        QString title;
        QString text;
    };

    // What the user does while the dialog is shown; by default, Ok.
    std::function<void(MIDISetupForm&)> onModal = [](MIDISetupForm& form) { clickOk(form); };
    // What happens while a box waits for the user; by default, nothing.
    std::function<void(const Box&)> whileBoxWaits;

    std::vector<Box> boxes;
    std::vector<int> endStatuses;
    int modalShows = 0;

    void showModal(MIDISetupForm& form) override;
    void showMessage(QWidget* parent, BoxKind kind, const QString& title,
                     const QString& text) override;
    void endProgram(int status) override { endStatuses.push_back(status); }

    QStringList boxTexts() const;

    static void clickOk(MIDISetupForm& form);
    static void clickCancel(MIDISetupForm& form);
};

// The main window on an in-memory MIDI system with scripted devices.
class AppFixture {
public:
    AppFixture(std::vector<std::string> sources = {"Keys A"},
               std::vector<std::string> destinations = {"Synth A"});
    ~AppFixture();

    InMemoryBackend backend;
    RecordingHost host;
    std::unique_ptr<frmMain> form;

    // The PortCommand writes since the last clearLog(), as "in.PortCommand <- 4".
    QStringList commands();
    // Every member access since the last clearLog().
    QStringList accesses();
    void clearLog() { backend.log().clear(); }
    // Runs Setup through the menu, leaving the dialog with Ok, then clears the log.
    void setUpAndClear();
    // Sets up, starts both ports and clears the log.
    void startAndClear();
    // Sends one message into the input and waits until the pump has passed it on.
    void play(ShortMessage message);
    std::vector<ShortMessage> sentMessages() const;
};

}  // namespace keyflip::testing
