#pragma once

class QComboBox;

namespace keyflip {

class MidiInputPort;
class MidiOutputPort;

// (Re)open one port on the device selected in a list of the setup dialog,
// closing it first when needed. The port is left open, not started: a
// running input reopened here stays stopped until the next "go".

// The input list's entry k is input device k. With nothing selected (there
// is no input device at all) the input is left as it is and sent nothing.
void OpenMidiIn(const QComboBox& list, MidiInputPort& input);

// The output list's entry 0 is the default device, DeviceIndex -1; entry k
// is output device k - 1. A port set to the default is always sent a close.
void OpenMidiOut(const QComboBox& list, MidiOutputPort& output);

}  // namespace keyflip
