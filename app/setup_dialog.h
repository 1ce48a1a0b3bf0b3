#pragma once

#include <QDialog>

class QCloseEvent;
class QComboBox;
class QLabel;
class QPushButton;

namespace keyflip {

class HandlerBoundary;
class MidiInputPort;
class MidiOutputPort;

// The dialog in which the MIDI input and output devices are picked. Loading
// it fills both lists from the ports and opens both ports on the defaults.
// It is not loaded at start; Ok hides it and keeps it loaded with its lists
// and selections; Cancel, Escape and closing from the title bar unload it.
// It is given the ports it works on and the boundary its handlers run
// through, by the window that owns it.
class MIDISetupForm : public QDialog {
    Q_OBJECT

public:
    ~MIDISetupForm() override;
    MIDISetupForm(const MIDISetupForm&) = delete;
    MIDISetupForm& operator=(const MIDISetupForm&) = delete;

    // The single instance, loaded first (which runs Form_Load) when it is not:
    // a dialog of owner on these ports, whose handlers run through boundary.
    static MIDISetupForm& load(QWidget& owner, MidiInputPort& input, MidiOutputPort& output,
                               HandlerBoundary& boundary);
    // The loaded instance, or nullptr while the dialog is not loaded.
    static MIDISetupForm* loaded();

    // Controls, in tab order; the dialog owns them.
    QComboBox* ComboMidiIn = nullptr;
    QComboBox* ComboMidiOut = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* CmdOk = nullptr;
    QPushButton* CmdCancel = nullptr;

    void Form_Load();
    void CmdOk_Click();
    void CmdCancel_Click();
    // Hides and destroys the dialog; the lists go with it. The ports stay as
    // they are.
    void Unload();

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    MIDISetupForm(QWidget& owner, MidiInputPort& input, MidiOutputPort& output,
                  HandlerBoundary& boundary);
    void createControls();

    MidiInputPort& input_;
    MidiOutputPort& output_;
    // Every handler runs through it, which reports an escaping error and
    // ends the program.
    HandlerBoundary& boundary_;
};

}  // namespace keyflip
