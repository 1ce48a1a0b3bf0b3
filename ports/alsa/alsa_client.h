#pragma once

// The sequencer client "Keyflip": opening it with the ports "in", "out" and
// the hidden port that receives the System Announce events, sizing its input
// pool, setting up the MIDI event codecs, and closing it.

#include "alsa_check.h"

#include <alsa/asoundlib.h>

#include <cstddef>
#include <memory>
#include <variant>

namespace keyflip::alsa {

// Enough for any short message; longer events (SysEx) are not ours to pass.
inline constexpr std::size_t kDecodeBufferSize = 16;

struct SequencerCloser {
    void operator()(snd_seq_t* sequencer) const;
};
using Sequencer = std::unique_ptr<snd_seq_t, SequencerCloser>;

struct CodecFreer {
    void operator()(snd_midi_event_t* codec) const { snd_midi_event_free(codec); }
};
using MidiCodec = std::unique_ptr<snd_midi_event_t, CodecFreer>;

// A codec between bytes and sequencer events; nothing when out of memory.
MidiCodec makeCodec();

// The client's address and its ports, fixed once it is open.
struct OwnPorts {
    int client = -1;
    int in = -1;
    int out = -1;
    int announce = -1;
};

// What the reader thread and the UI thread agree on when the client opens.
struct OpenClient {
    Sequencer sequencer;
    OwnPorts ports;
};

// The call that failed when a step fails; the sequencer is closed again then.
std::variant<OpenClient, AlsaFailure> openClient();

}  // namespace keyflip::alsa
