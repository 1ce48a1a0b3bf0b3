#include "rtmidi_backend.h"

namespace keyflip {

std::unique_ptr<MidiBackend> createRtMidiBackend() {
    return nullptr;
}

}  // namespace keyflip
