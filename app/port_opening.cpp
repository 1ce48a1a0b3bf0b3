#include "port_opening.h"

#include "int16_arithmetic.h"
#include "midi_port.h"
#include "port_commands.h"
#include "program_error.h"

#include <QComboBox>

#include <cstdint>
#include <limits>

namespace keyflip {

namespace {

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

void OpenMidiIn(const QComboBox& list, MidiInputPort& input) {
    const std::int16_t selected = selectedIndex(list);
    if (selected < 0) {
        return;
    }
    if (input.portState() >= PORT_STATE_OPEN) {
        input.setPortCommand(PORT_CLOSE);
    }
    input.setDeviceIndex(selected);
    input.setPortCommand(PORT_OPEN);
}

void OpenMidiOut(const QComboBox& list, MidiOutputPort& output) {
    const std::int16_t state = output.portState();
    const std::int16_t index = output.deviceIndex();
    if (state >= PORT_STATE_OPEN || index == -1) {
        output.setPortCommand(PORT_CLOSE);
    }
    output.setDeviceIndex(subtractInt16(selectedIndex(list), 1));
    output.setPortCommand(PORT_OPEN);
}

}  // namespace keyflip
