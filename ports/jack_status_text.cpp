#include "jack_status_text.h"

namespace keyflip {

QString jackOpenFailureText(jack_status_t status) {
    const auto has = [status](jack_status_t bit) { return (status & bit) != 0; };
    if (has(JackVersionError)) {
        return QStringLiteral(
            "The JACK server that is running speaks another protocol version than the JACK "
            "library Keyflip was started with. Use the library that belongs to the server "
            "(jackd2's, or PipeWire's pipewire-jack), then choose MIDI > Setup.");
    }
    if (has(JackShmFailure)) {
        return QStringLiteral(
            "Keyflip could not reach the JACK server's shared memory. The server may have been "
            "started by another user or with another /dev/shm; start it as this user, then "
            "choose MIDI > Setup.");
    }
    if (has(JackServerError) || has(JackInitFailure) || has(JackLoadFailure)) {
        return QStringLiteral(
            "The JACK server refused Keyflip's client (it may be full or shutting down). Check "
            "the server's messages, then choose MIDI > Setup.");
    }
    return QStringLiteral(
        "No MIDI system could be reached: the ALSA sequencer cannot be opened and no JACK "
        "server is running. Start a JACK server (or PipeWire's JACK support), then choose "
        "MIDI > Setup.");
}

}  // namespace keyflip
