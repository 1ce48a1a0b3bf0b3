#pragma once

#include "midi_system_kit.h"

#include <string>

namespace keyflip::contract {

// A private server with libjack clients as the other programs, and the
// backend made by createBackend under test.
KitFactory jackKit(std::string name, BackendFactory createBackend);

}  // namespace keyflip::contract
