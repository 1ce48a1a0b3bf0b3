#include "no_midi_system_backend.h"

#include <utility>

namespace keyflip {

namespace {

class NoMidiSystemBackend : public MidiBackend {
public:
    explicit NoMidiSystemBackend(QString reason) : reason_(std::move(reason)) {}

    QString systemName() const override { return QStringLiteral("MIDI"); }
    std::optional<QString> unreachableReason() override { return reason_; }
    std::vector<std::string> sourceNames() override { return {}; }
    std::vector<std::string> destinationNames() override { return {}; }
    std::optional<PortFault> openInput(const std::string&) override { return fault(); }
    void closeInput() override {}
    void setInputQueue(IncomingQueue*) override {}
    std::optional<PortFault> openOutput(const std::string&) override { return fault(); }
    void closeOutput() override {}
    Delivery dispatch(const WireMessage&) override { return Delivery::Refused; }
    void flushOutput(std::chrono::milliseconds) override {}

private:
    PortFault fault() const { return {PortErrorCode::NoMidiSystem, reason_}; }

    QString reason_;
};

}  // namespace

std::unique_ptr<MidiBackend> createNoMidiSystemBackend(QString reason) {
    return std::make_unique<NoMidiSystemBackend>(std::move(reason));
}

}  // namespace keyflip
