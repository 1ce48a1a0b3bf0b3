#include "contract_test.h"
#include "jack_kit.h"
#include "rtmidi_kit.h"

namespace keyflip::contract {

std::vector<KitFactory> systemKits() {
    return {rtMidiKit("RtMidiJack", RtMidiSystem::Jack, jackKit)};
}

}  // namespace keyflip::contract
