#pragma once

#include "midi_system_kit.h"
#include "rtmidi/rtmidi_backend.h"

#include <string>

namespace keyflip::contract {

// Makes a system's kit with the backend under test given.
using PeersKit = KitFactory (*)(std::string name, BackendFactory createBackend);

// The contract on the RtMidi backend, which serves macOS and Windows: the
// other programs are those of the system's own kit (peersKit), and the
// backend under test is RtMidi's on that system.
KitFactory rtMidiKit(std::string name, RtMidiSystem system, PeersKit peersKit);

}  // namespace keyflip::contract
