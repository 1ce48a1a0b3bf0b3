#include "setup_dialog.h"

#include "center_on_screen.h"
#include "handler_boundary.h"
#include "int16_arithmetic.h"
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

}  // namespace

MIDISetupForm::MIDISetupForm(QWidget& owner, MidiInputPort& input, MidiOutputPort& output,
                             HandlerBoundary& boundary)
    : QDialog(&owner), input_(input), output_(output), boundary_(boundary) {
    setObjectName(QStringLiteral("MIDISetupForm"));
    setWindowTitle(QStringLiteral("MIDI Setup"));
    // A fixed dialog border, without minimize or maximize.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(pixelsFromTwips(0, 0, kClientWidthTwips, kClientHeightTwips).size());
    useFormFont(*this);
    createControls();
    connect(CmdOk, &QPushButton::clicked, this,
            [this] { boundary_.run([this] { CmdOk_Click(); }); });
    connect(CmdCancel, &QPushButton::clicked, this,
            [this] { boundary_.run([this] { CmdCancel_Click(); }); });
}

MIDISetupForm::~MIDISetupForm() {
    if (theForm == this) {
        theForm = nullptr;
    }
}

MIDISetupForm& MIDISetupForm::load(QWidget& owner, MidiInputPort& input, MidiOutputPort& output,
                                   HandlerBoundary& boundary) {
    if (theForm == nullptr) {
        theForm = new MIDISetupForm(owner, input, output, boundary);
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

    const std::int16_t lastOutput = subtractInt16(output_.deviceCount(), 1);
    for (std::int16_t i = -1; i <= lastOutput; ++i) {
        output_.setDeviceIndex(i);
        ComboMidiOut->addItem(output_.deviceName());
    }
    ComboMidiOut->setCurrentIndex(0);
    output_.setDeviceIndex(-1);
    OpenMidiOut(*ComboMidiOut, output_);

    const std::int16_t lastInput = subtractInt16(input_.deviceCount(), 1);
    for (std::int16_t i = 0; i <= lastInput; ++i) {
        input_.setDeviceIndex(i);
        ComboMidiIn->addItem(input_.deviceName());
    }
    // With no input device at all the list stays empty with nothing selected,
    // and there is no device 0 to point the input at.
    if (ComboMidiIn->count() > 0) {
        ComboMidiIn->setCurrentIndex(0);
        input_.setDeviceIndex(0);
    }
    OpenMidiIn(*ComboMidiIn, input_);
}

// The input is reopened first here, the other way round from the load.
void MIDISetupForm::CmdOk_Click() {
    OpenMidiIn(*ComboMidiIn, input_);
    OpenMidiOut(*ComboMidiOut, output_);
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
    boundary_.run([this] { Unload(); });
    event->accept();
}

// Escape closes the dialog as its title bar does.
void MIDISetupForm::reject() {
    boundary_.run([this] { Unload(); });
}

}  // namespace keyflip
