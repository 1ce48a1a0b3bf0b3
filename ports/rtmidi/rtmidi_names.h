#pragma once

#include <string>
#include <vector>

namespace keyflip {

// How RtMidi names ports on each MIDI system, and the names the lists show.
enum class RtMidiNaming {
    // ALSA: "client:port 128:0". The address changes whenever the program
    // behind the port starts again.
    AddressAppended,
    // Windows multimedia: "Device 2", the device's place in the list, which
    // changes whenever a device before it comes or goes.
    IndexAppended,
    // CoreMIDI and JACK: the system's own name.
    AsGiven,
};

// The names the lists show for RtMidi's, in the same order: what RtMidi adds
// to keep names apart is left off where the name is the only one of its kind,
// so a device that comes back under its name is known again. Twins keep it.
std::vector<std::string> shownPortNames(RtMidiNaming naming, const std::vector<std::string>& given);

// Whether a port, by its shown name, is one of this program's own. RtMidi
// opens a client per port: JACK numbers the clients that come after the
// first ("Keyflip-01:in"), ALSA lists them all as "Keyflip", and CoreMIDI
// names a virtual port alone ("Keyflip in").
bool isOwnPortName(const std::string& name);

}  // namespace keyflip
