#include "backend_selection.h"

#include "jack_backend.h"
#include "rtmidi_backend.h"

#include <QtGlobal>

namespace keyflip {

namespace {

// Stands in for a MIDI system that the user chose and that cannot be used:
// every port that opens reports why, so the user sees it in the window.
class UnusableBackend : public MidiBackend {
public:
    explicit UnusableBackend(QString reason) : reason_(std::move(reason)) {}

    QString systemName() const override { return QStringLiteral("none"); }
    std::optional<QString> unreachableReason() override { return reason_; }
    std::vector<std::string> sourceNames() override { return {}; }
    std::vector<std::string> destinationNames() override { return {}; }
    std::optional<PortFault> openInput(const std::string&) override { return fault(); }
    void closeInput() override {}
    void setInputQueue(IncomingQueue*) override {}
    std::optional<PortFault> openOutput(const std::string&) override { return fault(); }
    void closeOutput() override {}
    bool send(const WireMessage&) override { return false; }
    void flushOutput(std::chrono::milliseconds) override {}

private:
    PortFault fault() const { return {PortErrorCode::NoMidiSystem, reason_}; }

    QString reason_;
};

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
        return std::make_unique<UnusableBackend>(*reason);
    }
    switch (std::get<MidiSystemChoice>(parsed)) {
        case MidiSystemChoice::Jack:
            return createJackBackend();
        case MidiSystemChoice::PlatformSequencer:
            if (auto sequencer = createRtMidiBackend()) {
                return sequencer;
            }
            return std::make_unique<UnusableBackend>(
                QStringLiteral("%1 asks for the ALSA sequencer, and it cannot be opened. Load it "
                               "(sudo modprobe snd-seq), or set %1 to \"jack\" or leave it unset.")
                    .arg(QLatin1String(kMidiSystemVariable)));
        case MidiSystemChoice::Automatic:
            break;
    }
    if (auto sequencer = createRtMidiBackend()) {
        return sequencer;
    }
    return createJackBackend();
}

}  // namespace keyflip
