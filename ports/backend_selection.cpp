#include "backend_selection.h"

#include "none/no_midi_system_backend.h"

#if defined(__linux__)
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
#if defined(__linux__)
    return createAlsaBackend();
#else
    return createRtMidiBackend();
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
    return QStringLiteral(
               "%1 is set to \"%2\", which names no MIDI system this program knows. "
               "Set it to \"alsa\" or \"jack\", or leave it unset to let the program "
               "choose.")
        .arg(QLatin1String(kMidiSystemVariable), *value);
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
    const QString variable = QLatin1String(kMidiSystemVariable);
    switch (std::get<MidiSystemChoice>(parsed)) {
        case MidiSystemChoice::Jack:
            return jackOrNone(
                MidiSystemChoice::Jack,
                QStringLiteral("%1 asks for JACK, and this build of Keyflip has no JACK.")
                    .arg(variable));
        case MidiSystemChoice::PlatformSequencer:
            if (auto sequencer = platformSequencer()) {
                return sequencer;
            }
            return createNoMidiSystemBackend(
                QStringLiteral("%1 asks for the ALSA sequencer, and it cannot be opened. Load it "
                               "(sudo modprobe snd-seq), or set %1 to \"jack\" or leave it unset.")
                    .arg(variable));
        case MidiSystemChoice::Automatic:
            break;
    }
    if (auto sequencer = platformSequencer()) {
        return sequencer;
    }
    return jackOrNone(
        MidiSystemChoice::Automatic,
        QStringLiteral("The computer's MIDI system could not be opened, and this build of "
                       "Keyflip has no other."));
}

}  // namespace keyflip
