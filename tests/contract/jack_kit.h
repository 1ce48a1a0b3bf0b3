#pragma once

#include "midi_system_kit.h"

namespace keyflip::contract {

KitFactory jackKit();

}  // namespace keyflip::contract
