#include "alsa_client.h"

#include "alsa_check.h"

namespace keyflip::alsa {

namespace {

constexpr const char* kClientName = "Keyflip";
constexpr const char* kInputPortName = "in";
constexpr const char* kOutputPortName = "out";
constexpr const char* kAnnouncePortName = "announcements";
// The most events the kernel keeps for a client's input: room for a burst
// while the reader waits for the CPU.
constexpr int kInputPoolEvents = 2000;

// Keeps what the call said; true when it failed.
bool failedAt(std::optional<AlsaFailure>& failed, long result, const char* call) {
    failed = check(result, call);
    return failed.has_value();
}

// The port's number, or a negative errno.
int createPort(snd_seq_t* sequencer, const char* name, unsigned caps, unsigned type) {
    return snd_seq_create_simple_port(sequencer, name, caps, type);
}

}  // namespace

void SequencerCloser::operator()(snd_seq_t* sequencer) const {
    // Nothing is left to do about a client that did not close cleanly.
    [[maybe_unused]] const auto failed = check(snd_seq_close(sequencer), "snd_seq_close");
}

MidiCodec makeCodec() {
    snd_midi_event_t* codec = nullptr;
    if (check(snd_midi_event_new(kDecodeBufferSize, &codec), "snd_midi_event_new")) {
        return nullptr;
    }
    // Every message carries its own status byte, as it does on the wire.
    snd_midi_event_no_status(codec, 1);
    return MidiCodec(codec);
}

std::variant<OpenClient, AlsaFailure> openClient() {
    snd_seq_t* raw = nullptr;
    if (const auto failed =
            check(snd_seq_open(&raw, "default", SND_SEQ_OPEN_DUPLEX, 0), "snd_seq_open")) {
        return *failed;
    }
    OpenClient opened;
    opened.sequencer.reset(raw);
    snd_seq_t* sequencer = raw;
    OwnPorts& ports = opened.ports;
    constexpr unsigned kMidiType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
    ports.client = snd_seq_client_id(sequencer);
    ports.in = createPort(sequencer, kInputPortName,
                          SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kMidiType);
    ports.out = createPort(sequencer, kOutputPortName,
                           SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kMidiType);
    // Writable by this client only and never listed, so the announcements
    // neither show up in patchbays nor mix with MIDI arriving at "in".
    ports.announce = createPort(sequencer, kAnnouncePortName,
                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                SND_SEQ_PORT_TYPE_APPLICATION);
    std::optional<AlsaFailure> failed;
    if (failedAt(failed, snd_seq_set_client_name(sequencer, kClientName),
                 "snd_seq_set_client_name") ||
        failedAt(failed, ports.client, "snd_seq_client_id") ||
        failedAt(failed, ports.in, "snd_seq_create_simple_port") ||
        failedAt(failed, ports.out, "snd_seq_create_simple_port") ||
        failedAt(failed, ports.announce, "snd_seq_create_simple_port") ||
        failedAt(failed, snd_seq_set_client_pool_input(sequencer, kInputPoolEvents),
                 "snd_seq_set_client_pool_input") ||
        failedAt(
            failed,
            snd_seq_set_input_buffer_size(sequencer, kInputPoolEvents * sizeof(snd_seq_event_t)),
            "snd_seq_set_input_buffer_size") ||
        failedAt(failed,
                 snd_seq_connect_from(sequencer, ports.announce, SND_SEQ_CLIENT_SYSTEM,
                                      SND_SEQ_PORT_SYSTEM_ANNOUNCE),
                 "snd_seq_connect_from")) {
        return *failed;
    }
    return opened;
}

}  // namespace keyflip::alsa
