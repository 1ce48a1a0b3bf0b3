#pragma once

#include "midi_system_kit.h"

namespace keyflip::contract {

KitFactory alsaKit();

}  // namespace keyflip::contract
