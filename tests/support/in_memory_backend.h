#pragma once

#include "midi_backend.h"
#include "recording_access_log.h"

#include <map>
#include <set>

namespace keyflip {

// A MIDI system in memory, for tests: devices are scripted, what the program
// sends is kept, and every member access of the ports is logged in order.
class InMemoryBackend : public MidiBackend {
    Q_OBJECT

public:
    using MidiBackend::MidiBackend;

    // Scripting the system.
    void setSources(std::vector<std::string> names) { sources_ = std::move(names); }
    void setDestinations(std::vector<std::string> names) { destinations_ = std::move(names); }
    void setUnreachable(std::optional<QString> reason) { unreachable_ = std::move(reason); }
    void refuseDevice(const std::string& name) { refused_.insert(name); }
    void acceptDevice(const std::string& name) { refused_.erase(name); }
    // Delivers bytes to the program's input as the MIDI system's thread would.
    // Returns false when the input is not open and started, or the queue is full.
    bool deliver(std::span<const std::uint8_t> bytes);
    bool deliver(const ShortMessage& message);
    // The next count sends are refused, as by a system whose buffer is full.
    void refuseSends(std::size_t count) { sendsToRefuse_ = count; }
    // The next count sends miss one of the output's connections (a patchbay
    // connected a second destination, and it is full); the others take them,
    // and they are kept as sent.
    void missSends(std::size_t count) { sendsToMiss_ = count; }
    // The whole system goes away: the ports hear of it.
    void loseConnection(PortSide side, const QString& text);
    // The device connected on side is unplugged: it leaves the list too.
    void unplug(PortSide side);
    // A device appears in side's list, as a plugged-in one would.
    void plugIn(PortSide side, const std::string& name);

    // What happened.
    const std::vector<WireMessage>& sent() const { return sent_; }
    void clearSent() { sent_.clear(); }
    const std::string& connectedSource() const { return connectedSource_; }
    const std::string& connectedDestination() const { return connectedDestination_; }
    bool inputOpen() const { return inputOpen_; }
    bool outputOpen() const { return outputOpen_; }
    RecordingAccessLog& log() { return log_; }

    // MidiBackend
    QString systemName() const override { return QStringLiteral("in-memory MIDI"); }
    std::optional<QString> unreachableReason() override { return unreachable_; }
    std::vector<std::string> sourceNames() override;
    std::vector<std::string> destinationNames() override;
    std::optional<PortFault> openInput(const std::string& source) override;
    void closeInput() override;
    void setInputQueue(IncomingQueue* queue) override { inputQueue_ = queue; }
    std::optional<PortFault> openOutput(const std::string& destination) override;
    void closeOutput() override;
    Delivery dispatch(const WireMessage& message) override;
    void flushOutput(std::chrono::milliseconds) override {}
    PortAccessLog* accessLog() override { return &log_; }

private:
    std::optional<PortFault> checkDevice(const std::vector<std::string>& list,
                                         const std::string& name) const;

    std::vector<std::string> sources_;
    std::vector<std::string> destinations_;
    std::optional<QString> unreachable_;
    std::set<std::string> refused_;
    std::vector<WireMessage> sent_;
    std::string connectedSource_;
    std::string connectedDestination_;
    bool inputOpen_ = false;
    bool outputOpen_ = false;
    IncomingQueue* inputQueue_ = nullptr;
    std::size_t sendsToRefuse_ = 0;
    std::size_t sendsToMiss_ = 0;
    RecordingAccessLog log_;
};

}  // namespace keyflip
