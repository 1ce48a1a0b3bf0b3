#include "backend_selection.h"

#include "rtmidi_backend.h"

#if defined(KEYFLIP_HAVE_JACK)
#include "jack_backend.h"
#else
#include "no_midi_system_backend.h"
#endif

namespace keyflip {

std::unique_ptr<MidiBackend> createSystemBackend() {
    if (auto rtmidi = createRtMidiBackend()) {
        return rtmidi;
    }
#if defined(KEYFLIP_HAVE_JACK)
    return createJackBackend();
#else
    return createNoMidiSystemBackend(
        QStringLiteral("The computer's MIDI system could not be opened, and this build of "
                       "Keyflip has no other."));
#endif
}

}  // namespace keyflip
