#pragma once

#include "midi_system_kit.h"

#include <string>

namespace keyflip::contract {

// The sequencer's own clients as the other programs, and the backend made by
// createBackend under test.
KitFactory alsaKit(std::string name, BackendFactory createBackend);

}  // namespace keyflip::contract
