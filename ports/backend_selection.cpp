#include "backend_selection.h"

#include "jack_backend.h"
#include "rtmidi_backend.h"

namespace keyflip {

std::unique_ptr<MidiBackend> createSystemBackend() {
    if (auto rtmidi = createRtMidiBackend()) {
        return rtmidi;
    }
    return createJackBackend();
}

}  // namespace keyflip
