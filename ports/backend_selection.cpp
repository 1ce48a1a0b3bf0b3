#include "backend_selection.h"

#include "none/no_midi_system_backend.h"
#include "port_texts.h"

#if defined(KEYFLIP_DIRECT_ALSA)
#include "alsa/alsa_backend.h"
#else
#include "rtmidi/rtmidi_backend.h"
#endif

#if defined(KEYFLIP_HAVE_JACK)
#include "jack/jack_backend.h"
#endif

#include <QtGlobal>

namespace keyflip {

namespace {

// The platform's own MIDI system, or nothing when it cannot be opened.
std::unique_ptr<MidiBackend> platformSequencer() {
#if defined(KEYFLIP_DIRECT_ALSA)
    return createAlsaBackend();
#else
    return createRtMidiBackend(RtMidiSystem::Platform);
#endif
}

std::unique_ptr<MidiBackend> jackOrNone(MidiSystemChoice choice, const QString& whyNone) {
#if defined(KEYFLIP_HAVE_JACK)
    (void)whyNone;
    return createJackBackend(JackOutputTiming::KeepOffset,
                             choice == MidiSystemChoice::Jack
                                 ? JackSelection::ChosenByUser
                                 : JackSelection::AfterPlatformSequencer);
#else
    (void)choice;
#if !defined(KEYFLIP_DIRECT_ALSA)
    // Where RtMidi was built with JACK, JACK is reached through it.
    if (auto jack = createRtMidiBackend(RtMidiSystem::Jack)) {
        return jack;
    }
#endif
    return createNoMidiSystemBackend(whyNone);
#endif
}

}  // namespace

std::variant<MidiSystemChoice, QString> parseMidiSystemChoice(const std::optional<QString>& value) {
    const QString choice = value.value_or(QString()).trimmed().toLower();
    if (choice.isEmpty()) {
        return MidiSystemChoice::Automatic;
    }
    if (choice == QLatin1String("alsa")) {
        return MidiSystemChoice::PlatformSequencer;
    }
    if (choice == QLatin1String("jack")) {
        return MidiSystemChoice::Jack;
    }
    return texts::unknownMidiSystem(*value);
}

std::unique_ptr<MidiBackend> createSystemBackend() {
    std::optional<QString> value;
    if (qEnvironmentVariableIsSet(kMidiSystemVariable)) {
        value = qEnvironmentVariable(kMidiSystemVariable);
    }
    const auto parsed = parseMidiSystemChoice(value);
    if (const auto* reason = std::get_if<QString>(&parsed)) {
        return createNoMidiSystemBackend(*reason);
    }
    switch (std::get<MidiSystemChoice>(parsed)) {
        case MidiSystemChoice::Jack:
            return jackOrNone(MidiSystemChoice::Jack, texts::jackNotBuilt());
        case MidiSystemChoice::PlatformSequencer:
            if (auto sequencer = platformSequencer()) {
                return sequencer;
            }
            return createNoMidiSystemBackend(texts::alsaChosenButClosed());
        case MidiSystemChoice::Automatic:
            break;
    }
    if (auto sequencer = platformSequencer()) {
        return sequencer;
    }
    return jackOrNone(MidiSystemChoice::Automatic, texts::noOtherMidiSystem());
}

}  // namespace keyflip
