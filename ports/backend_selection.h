#pragma once

#include "midi_backend.h"

#include <QString>

#include <memory>
#include <optional>
#include <variant>

namespace keyflip {

// The environment variable in which the user chooses the MIDI system:
// "alsa" or "jack". Unset or empty lets the program choose.
inline constexpr const char* kMidiSystemVariable = "KEYFLIP_MIDI_SYSTEM";

enum class MidiSystemChoice {
    // The platform's own MIDI system (the ALSA sequencer on Linux) when it can
    // be opened, JACK otherwise.
    Automatic,
    PlatformSequencer,
    Jack,
};

// What the variable's value asks for, or the sentence that tells the user
// what is wrong with it.
std::variant<MidiSystemChoice, QString> parseMidiSystemChoice(const std::optional<QString>& value);

// The MIDI system the program uses, as the user chose it in
// KEYFLIP_MIDI_SYSTEM, or by itself: the ALSA sequencer on Linux (CoreMIDI or
// Windows multimedia elsewhere, and everything through RtMidi in the portable
// build) when it can be opened, JACK otherwise. The JACK backend is returned
// even when no server runs yet: it keeps trying and says what is wrong
// through the ports. A system that was chosen but cannot be
// used, or a choice that names none, is said through the ports too.
// A build without JACK says through the ports that the chosen system is
// missing, or, choosing by itself, that no MIDI system can be reached.
std::unique_ptr<MidiBackend> createSystemBackend();

}  // namespace keyflip
