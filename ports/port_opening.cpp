#include "port_opening.h"

#include "int16_arithmetic.h"
#include "main_window.h"
#include "midi_port.h"
#include "port_contract.h"
#include "program_error.h"
#include "setup_dialog.h"

#include <QComboBox>

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace keyflip {

namespace {

MIDISetupForm& loadedDialog() {
    MIDISetupForm* const form = MIDISetupForm::loaded();
    if (form == nullptr) {
        throw std::logic_error("MIDI Setup is not loaded");
    }
    return *form;
}

// The selected entry as a 16-bit index, -1 when nothing is selected.
std::int16_t selectedIndex(const QComboBox& list) {
    const int index = list.currentIndex();
    if (index < std::numeric_limits<std::int16_t>::min() ||
        index > std::numeric_limits<std::int16_t>::max()) {
        throw ProgramError(kOverflowDescription);
    }
    return static_cast<std::int16_t>(index);
}

}  // namespace

void OpenMidiIn() {
    const std::int16_t selected = selectedIndex(*loadedDialog().ComboMidiIn);
    if (selected < 0) {
        return;
    }
    MidiInputPort& input = *frmMain::instance().MIDIInput1;
    if (input.portState() >= PORT_STATE_OPEN) {
        input.setPortCommand(PORT_CLOSE);
    }
    input.setDeviceIndex(selected);
    input.setPortCommand(PORT_OPEN);
}

void OpenMidiOut() {
    MidiOutputPort& output = *frmMain::instance().MIDIOutput1;
    const std::int16_t state = output.portState();
    const std::int16_t index = output.deviceIndex();
    if (state >= PORT_STATE_OPEN || index == -1) {
        output.setPortCommand(PORT_CLOSE);
    }
    output.setDeviceIndex(subtractInt16(selectedIndex(*loadedDialog().ComboMidiOut), 1));
    output.setPortCommand(PORT_OPEN);
}

}  // namespace keyflip
