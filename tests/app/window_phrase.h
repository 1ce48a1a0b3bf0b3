#pragma once

// One phrase played through the whole program on a real MIDI system: the
// main window driven as a user would, another program's keyboard playing into
// it and another program's synthesizer listening behind it. Each MIDI system's
// test supplies the two peers.

#include "midi_backend.h"
#include "wire_format.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

namespace keyflip::testing {

struct PhrasePeers {
    std::string keyboardName;  // as MIDI Setup lists them
    std::string synthName;
    // The keyboard plays one message.
    std::function<void(const WireMessage&)> play;
    // Everything the synthesizer has received so far, in order.
    std::function<std::vector<WireMessage>()> heard;
};

// Everything the phrase makes the program send, in order, the Note Offs of
// "stop" included.
std::vector<WireMessage> phraseOutput();

// Plays the phrase; false, with what went wrong, when the program did not
// answer as its controls say.
bool playPhrase(MidiBackend& backend, const PhrasePeers& peers, QString& failure);

}  // namespace keyflip::testing
