#pragma once

#include "midi_backend.h"

#include <memory>

namespace keyflip {

// Where in the next period an outgoing message is written.
enum class JackOutputTiming {
    // At the offset its input event had, one period later: a constant
    // one-period delay with no jitter.
    KeepOffset,
    // At the period's first frame: half a period earlier on average, but up
    // to a period of jitter.
    FrameZero,
};

// JACK, written directly on libjack: one client "Keyflip" with the ports "in"
// and "out". Created lazily and created again after the server went away.
std::unique_ptr<MidiBackend> createJackBackend(
    JackOutputTiming timing = JackOutputTiming::KeepOffset);

}  // namespace keyflip
