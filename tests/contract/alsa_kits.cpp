#include "alsa/alsa_backend.h"
#include "alsa_kit.h"
#include "contract_test.h"
#include "rtmidi_kit.h"

namespace keyflip::contract {

std::vector<KitFactory> systemKits() {
    return {alsaKit("Alsa", [] { return createAlsaBackend(); }),
            rtMidiKit("RtMidiAlsa", RtMidiSystem::Platform, alsaKit)};
}

}  // namespace keyflip::contract
