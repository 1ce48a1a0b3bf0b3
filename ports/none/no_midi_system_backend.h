#pragma once

#include "midi_backend.h"

#include <memory>

namespace keyflip {

// Stands in for a MIDI system that could not be opened, on a build without a
// second system to fall back on: the ports report that none can be reached
// instead of the program having no backend at all.
std::unique_ptr<MidiBackend> createNoMidiSystemBackend(QString reason);

}  // namespace keyflip
