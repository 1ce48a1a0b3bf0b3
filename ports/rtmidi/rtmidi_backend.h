#pragma once

#include "midi_backend.h"

#include <memory>

namespace keyflip {

// CoreMIDI or Windows multimedia through RtMidi. Returns nothing when that MIDI system cannot be
// opened.
std::unique_ptr<MidiBackend> createRtMidiBackend();

}  // namespace keyflip
