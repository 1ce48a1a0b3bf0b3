#pragma once

#include "midi_backend.h"

#include <memory>

namespace keyflip {

enum class RtMidiSystem {
    // CoreMIDI on macOS, Windows multimedia on Windows, the ALSA sequencer on
    // Linux.
    Platform,
    Jack,
};

// A MIDI system through RtMidi. Returns nothing when RtMidi was built
// without it, or it cannot be opened.
std::unique_ptr<MidiBackend> createRtMidiBackend(RtMidiSystem system = RtMidiSystem::Platform);

}  // namespace keyflip
