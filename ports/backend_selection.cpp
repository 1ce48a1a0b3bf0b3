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

#include <utility>

namespace keyflip {

namespace {

// The platform's own MIDI system, or nothing when it cannot be opened, and
// why when that is known.
struct PlatformSequencer {
    std::unique_ptr<MidiBackend> backend;
    QString whyNot;
};

PlatformSequencer platformSequencer() {
#if defined(KEYFLIP_DIRECT_ALSA)
    AlsaOpening opening = openAlsaBackend();
    return {std::move(opening.backend), std::move(opening.whyNot)};
#else
    return {createRtMidiBackend(RtMidiSystem::Platform), {}};
#endif
}

// whySequencerClosed: why the platform's sequencer, when it was tried first,
// could not be opened.
std::unique_ptr<MidiBackend> jackOrNone(MidiSystemChoice choice, const QString& whyNone,
                                        const QString& whySequencerClosed) {
#if defined(KEYFLIP_HAVE_JACK)
    (void)whyNone;
    return createJackBackend(JackOutputTiming::KeepOffset,
                             choice == MidiSystemChoice::Jack
                                 ? JackSelection::ChosenByUser
                                 : JackSelection::AfterPlatformSequencer,
                             whySequencerClosed);
#else
    (void)choice;
    (void)whySequencerClosed;
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
            return jackOrNone(MidiSystemChoice::Jack, texts::jackNotBuilt(), {});
        case MidiSystemChoice::PlatformSequencer: {
            PlatformSequencer sequencer = platformSequencer();
            if (sequencer.backend) {
                return std::move(sequencer.backend);
            }
            return createNoMidiSystemBackend(texts::alsaChosenButClosed(sequencer.whyNot));
        }
        case MidiSystemChoice::Automatic:
            break;
    }
    PlatformSequencer sequencer = platformSequencer();
    if (sequencer.backend) {
        return std::move(sequencer.backend);
    }
    return jackOrNone(MidiSystemChoice::Automatic, texts::noOtherMidiSystem(sequencer.whyNot),
                      sequencer.whyNot);
}

}  // namespace keyflip
