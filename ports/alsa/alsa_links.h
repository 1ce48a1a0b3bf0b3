#pragma once

// The connections between Keyflip's ports and the peers' ports: making one,
// telling one that was there already from one refused, and undoing one.

#include "alsa_check.h"
#include "alsa_client.h"

#include "midi_backend.h"

#include <alsa/asoundlib.h>

#include <optional>

namespace keyflip::alsa {

// One connection, from the port that sends to the port that receives.
struct Link {
    snd_seq_addr_t sender{};
    snd_seq_addr_t destination{};
};

// The peer to "in", or "out" to the peer.
Link linkWith(PortSide side, const OwnPorts& own, const snd_seq_addr_t& peer);

// What connecting came to. The sequencer says "busy" both for a connection
// that exists already (a patchbay made it) and for a port another program
// holds exclusively; only the first carries anything.
struct Linking {
    enum Outcome { Made, AlreadyThere, HeldExclusively, Failed };
    Outcome outcome = Failed;
    std::optional<AlsaFailure> failure;  // why, when it failed
};

Linking connect(snd_seq_t* sequencer, const Link& link);
void disconnect(snd_seq_t* sequencer, const Link& link);
bool isConnected(snd_seq_t* sequencer, const Link& link);

}  // namespace keyflip::alsa
