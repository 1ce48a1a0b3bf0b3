#pragma once

#include "wire_format.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace keyflip {

class IncomingQueue;
class PortAccessLog;

enum class PortSide { Input, Output };

// The codes a port reports through PortError; the table is in midi_port.h.
namespace PortErrorCode {
inline constexpr std::int16_t None = 0;
inline constexpr std::int16_t NoMidiSystem = 1;
inline constexpr std::int16_t DeviceNotFound = 2;
inline constexpr std::int16_t DeviceOpenFailed = 3;
inline constexpr std::int16_t PortNotOpen = 4;
inline constexpr std::int16_t InputOverflow = 5;
inline constexpr std::int16_t ConnectionLost = 6;
inline constexpr std::int16_t OutputOverflow = 7;
inline constexpr std::int16_t MessageNotSent = 8;
}  // namespace PortErrorCode

// What went wrong, as a port reports it through PortError.
struct PortFault {
    std::int16_t code = 0;
    QString text;
};

// One MIDI system as the two ports see it. The program is one MIDI client
// with an input port and an output port; the lists name the system's other
// sources and destinations, never the program's own ports, so the program
// cannot be patched into a loop with itself.
//
// Every member is called on the UI thread. connectionLost is emitted there
// too; a backend whose MIDI system reports trouble on another thread crosses
// over without blocking that thread.
class MidiBackend : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // The MIDI system's name, for texts shown to the user.
    virtual QString systemName() const = 0;
    // Why no MIDI system can be reached right now; nothing when one can.
    virtual std::optional<QString> unreachableReason() = 0;

    // Names, as the system shows them, in a stable order.
    virtual std::vector<std::string> sourceNames() = 0;
    virtual std::vector<std::string> destinationNames() = 0;

    // Opens the program's input port and connects the named source to it; an
    // empty name opens the port alone, for any source to connect to later.
    virtual std::optional<PortFault> openInput(const std::string& source) = 0;
    virtual void closeInput() = 0;
    // Where events arriving at the open input go; nullptr discards them.
    virtual void setInputQueue(IncomingQueue* queue) = 0;

    // Opens the program's output port and connects it to the named
    // destination; an empty name opens the port alone.
    virtual std::optional<PortFault> openOutput(const std::string& destination) = 0;
    virtual void closeOutput() = 0;
    // Queues one message for the open output; false when it cannot be queued.
    virtual bool send(const WireMessage& message) = 0;
    // Waits, at most limit, until everything sent has left the program.
    virtual void flushOutput(std::chrono::milliseconds limit) = 0;

    // Only the in-memory backend records member accesses.
    virtual PortAccessLog* accessLog() { return nullptr; }

    // Whether the MIDI system can be reached now. When it cannot, the reason
    // is handed out the first time only (until it is reachable again), so the
    // user is told once, not once per port.
    bool checkReachable(std::optional<QString>& reasonToReport);

signals:
    // A connected device, or the whole MIDI system, went away while open.
    void connectionLost(keyflip::PortSide side, qint16 code, QString text);
    // Messages send() had accepted, held because the MIDI system could not
    // take them then, were finally dropped: count of them, once per loss.
    void outgoingLost(quint64 count);

private:
    bool unreachableReported_ = false;
};

}  // namespace keyflip
