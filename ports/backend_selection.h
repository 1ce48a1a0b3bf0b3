#pragma once

#include "midi_backend.h"

#include <memory>

namespace keyflip {

// The MIDI system the program uses: the ALSA sequencer on Linux (CoreMIDI or
// Windows multimedia elsewhere, through RtMidi) when it can be opened, JACK
// otherwise.
// The JACK backend is returned even when no server runs yet: it keeps trying
// and says what is wrong through the ports.
std::unique_ptr<MidiBackend> createSystemBackend();

}  // namespace keyflip
