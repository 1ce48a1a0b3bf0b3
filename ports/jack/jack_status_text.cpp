#include "jack_status_text.h"

#include "backend_selection.h"

namespace keyflip {

namespace {

// MIDI Setup keeps the lists it read while nothing could be reached when it
// is shown again after Ok; only Cancel makes it read them anew.
QString thenSetup(const QString& remedy) {
    return remedy + QStringLiteral(
                        " Then choose MIDI > Setup; if it lists no devices, press Cancel there "
                        "and choose MIDI > Setup again.");
}

}  // namespace

QString jackOpenFailureText(jack_status_t status, JackSelection selection) {
    const auto has = [status](jack_status_t bit) { return (status & bit) != 0; };
    if (has(JackVersionError)) {
        return thenSetup(QStringLiteral(
            "The JACK server that is running speaks another protocol version than the JACK "
            "library Keyflip was started with. Use the library that belongs to the server "
            "(jackd2's, or PipeWire's pipewire-jack)."));
    }
    if (has(JackShmFailure)) {
        return thenSetup(QStringLiteral(
            "Keyflip could not reach the JACK server's shared memory. The server may have been "
            "started by another user or with another /dev/shm; start it as this user."));
    }
    if (has(JackServerError) || has(JackInitFailure) || has(JackLoadFailure)) {
        return thenSetup(QStringLiteral(
            "The JACK server refused Keyflip's client (it may be full or shutting down). Check "
            "the server's messages."));
    }
    if (selection == JackSelection::ChosenByUser) {
        return thenSetup(QStringLiteral("No JACK server is running, and %1 asks for JACK (leave "
                                        "it unset to use the ALSA sequencer). Start a JACK "
                                        "server, or PipeWire's JACK support.")
                             .arg(QLatin1String(kMidiSystemVariable)));
    }
    return thenSetup(QStringLiteral(
        "No MIDI system could be reached: the ALSA sequencer cannot be opened and no JACK "
        "server is running. Start a JACK server, or PipeWire's JACK support."));
}

}  // namespace keyflip
