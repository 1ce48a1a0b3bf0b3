#pragma once

#include "midi_backend.h"

#include <memory>

namespace keyflip {

// JACK, written directly on libjack: one client "Keyflip" with the ports "in"
// and "out". Created lazily and created again after the server went away.
std::unique_ptr<MidiBackend> createJackBackend();

}  // namespace keyflip
