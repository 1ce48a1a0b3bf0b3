#pragma once

#include "handler_boundary.h"
#include "message_pump.h"
#include "midi_port.h"
#include "program_host.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <utility>
#include <vector>

class QAction;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollBar;

namespace keyflip {

class MidiBackend;

// The start-up window, alive for the whole run. It holds the two ports, the
// controls whose values feed the rewrite rules, the three boxes that show
// the last message sent, and the buttons and menus of the window commands.
// Every handler runs through boundary(), which turns an escaping error into
// the error report and the end of the program.
class frmMain : public QMainWindow, public RewriteSettings, public MessageDisplay {
    Q_OBJECT

public:
    // Builds the window on the given ports' backend and runs Form_Load.
    frmMain(MidiBackend& backend, ProgramHost& host, QWidget* parent = nullptr);
    ~frmMain() override;
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    // The ports, invisible.
    MidiInputPort* const MIDIInput1;
    MidiOutputPort* const MIDIOutput1;

    // Controls, in tab order; the window owns them.
    QPushButton* Command1 = nullptr;
    QScrollBar* vslidertranspose = nullptr;
    QLabel* label1 = nullptr;
    QPushButton* stopbutton = nullptr;
    QLineEdit* message = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* data1 = nullptr;
    QLineEdit* data2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QScrollBar* wheelnote = nullptr;
    QLabel* Label5 = nullptr;
    QPushButton* reverse = nullptr;

    QMenu* mnuFile = nullptr;
    QAction* mnuFileLoadBank = nullptr;
    QAction* MnuSaveBankAs = nullptr;
    QAction* mnuFileSep1 = nullptr;
    QAction* mnuFileExit = nullptr;
    QMenu* mnuMidi = nullptr;
    QAction* mnuMidiSetup = nullptr;
    QAction* mnuMidiThru = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuHelpAbout = nullptr;

    // The area below the menu bar that the controls are placed in.
    QWidget* client() const { return client_; }

    bool isSetupNeeded() const { return setupneeded; }
    HandlerBoundary& boundary() { return boundary_; }

    // Handlers.
    void Form_Load();
    void Form_Unload();  // the Close command
    void MIDIInput1_Message();
    void MIDIInput1_SourceLost();

    // Window commands, in window_commands.cpp.
    void Go();
    void Setup();
    void Exit();
    void Terminate();                // a termination signal
    void ReleaseQuietly() noexcept;  // where no handler runs and no box shows
    void Reverse();
    void PortError(std::int16_t code, const QString& text);

    // RewriteSettings, read live from the controls and the reverseon flag.
    std::int16_t transposeAmount() const override;
    bool reverseFlag() const override;
    std::int16_t wheelNote() const override;

    // MessageDisplay.
    void setStatusText(std::string_view text) override;
    void setData1Text(std::string_view text) override;
    void setData2Text(std::string_view text) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createMenus();
    void connectHandlers();
    template <typename Sender, typename Signal>
    void route(Sender* sender, Signal signal, void (frmMain::*handler)());

    ProgramHost& host_;
    HandlerBoundary boundary_;
    MessagePump pump_;
    QWidget* client_ = nullptr;
    bool setupneeded = true;
    bool reverseon = false;
    // Port-error boxes waiting for the user, by code and text.
    std::vector<std::pair<std::int16_t, QString>> openPortErrorBoxes_;
};

}  // namespace keyflip
