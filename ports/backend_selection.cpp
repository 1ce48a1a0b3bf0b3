#include "backend_selection.h"

#include "jack_backend.h"

#ifdef __linux__
#include "alsa_backend.h"
#else
#include "rtmidi_backend.h"
#endif

namespace keyflip {

std::unique_ptr<MidiBackend> createSystemBackend() {
#ifdef __linux__
    if (auto alsa = createAlsaBackend()) {
        return alsa;
    }
#else
    if (auto rtmidi = createRtMidiBackend()) {
        return rtmidi;
    }
#endif
    return createJackBackend();
}

}  // namespace keyflip
