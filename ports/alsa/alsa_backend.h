#pragma once

#include "midi_backend.h"

#include <QString>

#include <memory>

namespace keyflip {

// The ALSA sequencer, written directly on libasound: one client "Keyflip"
// with the ports "in" and "out"; or, when the sequencer cannot be opened,
// nothing and why, as the user reads it.
struct AlsaOpening {
    std::unique_ptr<MidiBackend> backend;
    QString whyNot;
};
AlsaOpening openAlsaBackend();
// Nothing when the sequencer cannot be opened.
std::unique_ptr<MidiBackend> createAlsaBackend();

}  // namespace keyflip
