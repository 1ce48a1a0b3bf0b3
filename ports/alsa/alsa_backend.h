#pragma once

#include "midi_backend.h"

#include <memory>

namespace keyflip {

// The ALSA sequencer, written directly on libasound: one client "Keyflip"
// with the ports "in" and "out". Returns nothing when the sequencer cannot be
// opened.
std::unique_ptr<MidiBackend> createAlsaBackend();

}  // namespace keyflip
