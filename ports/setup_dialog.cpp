#include "setup_dialog.h"

#include "center_on_screen.h"
#include "int16_arithmetic.h"
#include "main_window.h"
#include "midi_port.h"
#include "port_opening.h"
#include "twips.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <cstdint>
#include <iterator>

namespace keyflip {

namespace {

MIDISetupForm* theForm = nullptr;

constexpr int kClientWidthTwips = 6315;
constexpr int kClientHeightTwips = 1200;

// What a screen reader says for each control, the names matching the
// captions. On Linux a list is announced by the label it is the buddy of.
void describeControls(MIDISetupForm& form) {
    form.Label1->setBuddy(form.ComboMidiIn);
    form.Label2->setBuddy(form.ComboMidiOut);
    form.ComboMidiIn->setAccessibleName(QStringLiteral("MIDI In Device"));
    form.ComboMidiIn->setAccessibleDescription(
        QStringLiteral("The device Keyflip reads from. \"Keyflip in\" leaves the connection to "
                       "you or your patchbay."));
    form.ComboMidiOut->setAccessibleName(QStringLiteral("MIDI Out Device"));
    form.ComboMidiOut->setAccessibleDescription(
        QStringLiteral("The device Keyflip sends to. \"Keyflip out\" leaves the connection to "
                       "you or your patchbay."));
    form.CmdOk->setAccessibleName(QStringLiteral("Ok"));
    form.CmdOk->setAccessibleDescription(
        QStringLiteral("Opens the chosen devices and closes MIDI Setup."));
    form.CmdCancel->setAccessibleName(QStringLiteral("Cancel"));
    form.CmdCancel->setAccessibleDescription(
        QStringLiteral("Closes MIDI Setup and keeps the ports as they are."));
}

// Every handler runs through the main window's boundary, which reports an
// escaping error and ends the program.
template <typename Handler>
void handle(Handler handler) {
    frmMain::instance().boundary().run(handler);
}

}  // namespace

MIDISetupForm::MIDISetupForm(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("MIDISetupForm"));
    setWindowTitle(QStringLiteral("MIDI Setup"));
    // A fixed dialog border, without minimize or maximize.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(pixelsFromTwips(0, 0, kClientWidthTwips, kClientHeightTwips).size());
    createControls();
    connect(CmdOk, &QPushButton::clicked, this, [this] { handle([this] { CmdOk_Click(); }); });
    connect(CmdCancel, &QPushButton::clicked, this,
            [this] { handle([this] { CmdCancel_Click(); }); });
}

MIDISetupForm::~MIDISetupForm() {
    if (theForm == this) {
        theForm = nullptr;
    }
}

MIDISetupForm& MIDISetupForm::load() {
    if (theForm == nullptr) {
        theForm = new MIDISetupForm(&frmMain::instance());
        theForm->Form_Load();
    }
    return *theForm;
}

MIDISetupForm* MIDISetupForm::loaded() {
    return theForm;
}

void MIDISetupForm::createControls() {
    // Created in tab order, which is the order focus moves in.
    ComboMidiIn = place(new QComboBox(this), "ComboMidiIn", 120, 540, 2265, 300);
    ComboMidiOut = place(new QComboBox(this), "ComboMidiOut", 2460, 540, 2265, 300);
    Label1 = placeLabel(this, "Label1", "MIDI In Device", 150, 240, 2115, 255);
    Label2 = placeLabel(this, "Label2", "MIDI Out Device", 2490, 240, 2025, 255);
    CmdOk = place(new QPushButton(QStringLiteral("Ok"), this), "CmdOk", 5010, 240, 1005, 375);
    CmdCancel =
        place(new QPushButton(QStringLiteral("Cancel"), this), "CmdCancel", 5010, 690, 1005, 375);

    QWidget* const tabOrder[] = {ComboMidiIn, ComboMidiOut, CmdOk, CmdCancel};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    ComboMidiIn->setFocus();
    describeControls(*this);
}

// The output is listed and opened first, on the default device; then the
// input, on device 0.
void MIDISetupForm::Form_Load() {
    CenterOnScreen(*this);

    MidiOutputPort& output = *frmMain::instance().MIDIOutput1;
    const std::int16_t lastOutput = subtractInt16(output.deviceCount(), 1);
    for (std::int16_t i = -1; i <= lastOutput; ++i) {
        output.setDeviceIndex(i);
        ComboMidiOut->addItem(output.deviceName());
    }
    ComboMidiOut->setCurrentIndex(0);
    output.setDeviceIndex(-1);
    OpenMidiOut();

    MidiInputPort& input = *frmMain::instance().MIDIInput1;
    const std::int16_t lastInput = subtractInt16(input.deviceCount(), 1);
    for (std::int16_t i = 0; i <= lastInput; ++i) {
        input.setDeviceIndex(i);
        ComboMidiIn->addItem(input.deviceName());
    }
    // With no input device at all the list stays empty with nothing selected,
    // and there is no device 0 to point the input at.
    if (ComboMidiIn->count() > 0) {
        ComboMidiIn->setCurrentIndex(0);
        input.setDeviceIndex(0);
    }
    OpenMidiIn();
}

// The input is reopened first here, the other way round from the load.
void MIDISetupForm::CmdOk_Click() {
    OpenMidiIn();
    OpenMidiOut();
    hide();
}

void MIDISetupForm::CmdCancel_Click() {
    Unload();
}

void MIDISetupForm::Unload() {
    theForm = nullptr;
    hide();
    // Later, because the click that got here is still being delivered.
    deleteLater();
}

void MIDISetupForm::closeEvent(QCloseEvent* event) {
    handle([this] { Unload(); });
    event->accept();
}

// Escape closes the dialog as its title bar does.
void MIDISetupForm::reject() {
    handle([this] { Unload(); });
}

}  // namespace keyflip
