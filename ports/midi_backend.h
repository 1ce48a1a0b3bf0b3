#pragma once

#include "port_error.h"
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
class WindowThreadScheduling;

// How long closing an output waits for what was sent to leave before the
// rest is dropped: long enough for a full JACK buffer or a busy sequencer,
// short enough that "stop" still feels immediate.
inline constexpr std::chrono::milliseconds kCloseFlushLimit{250};
class PortAccessLog;

enum class PortSide { Input, Output };

// How far one message sent got. A message may reach some of an output's
// connections and miss others (a full one, or one that refuses it).
enum class Delivery {
    Refused,     // no connection took it
    Partly,      // some connection missed it, others took it
    Everywhere,  // every connection took it or holds it in order (or there is none)
};

// One MIDI system as the two ports see it. The program is one MIDI client
// with an input port and an output port; the lists name the system's other
// sources and destinations, never the program's own ports, so the program
// cannot be patched into a loop with itself.
//
// Every member is called on the UI thread. The signals are emitted there
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
    // Whether a device a port opens by this name is there now. A system may
    // list one device under more than one name over time, and answers for
    // every name it would open it by.
    virtual bool isListed(PortSide side, const std::string& name);

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
    // Queues one message for the open output, for each of its connections.
    virtual Delivery dispatch(const WireMessage& message) = 0;
    // Whether any connection took it.
    bool send(const WireMessage& message) { return dispatch(message) != Delivery::Refused; }
    // Waits, at most limit, until everything sent has left the program.
    virtual void flushOutput(std::chrono::milliseconds limit) = 0;
    // Drops what was sent but has not left the program yet, and returns it,
    // oldest first, so the output knows which notes really sounded. A backend
    // that hands every message over at once keeps nothing back.
    virtual std::vector<WireMessage> discardOutput() { return {}; }

    // Only the in-memory backend records member accesses.
    virtual PortAccessLog* accessLog() { return nullptr; }

    // Whether the MIDI system can be reached now. When it cannot, the reason
    // is handed out the first time only (until it is reachable again), so the
    // user is told once, not once per port.
    bool checkReachable(std::optional<QString>& reasonToReport);

    // Told by the ports as they open and close and as the pump fares; none
    // unless the program sets one, so tests keep their threads' scheduling.
    void setWindowThreadScheduling(WindowThreadScheduling* scheduling) { scheduling_ = scheduling; }
    WindowThreadScheduling* windowThreadScheduling() const { return scheduling_; }

signals:
    // The whole MIDI system went away, or can no longer be read: the port
    // cannot come back without the user.
    void connectionLost(keyflip::PortSide side, qint16 code, QString text);
    // The device a port was connected to went away while the MIDI system
    // stays; name is the one it was opened by, as the lists give it: a
    // device's name need not be valid UTF-8, and is matched byte for byte.
    void peerLeft(keyflip::PortSide side, std::string name);
    // Ports appeared or were renamed: a device that left may be back.
    void peersChanged();
    // Messages send() had accepted, held because the MIDI system could not
    // take them then, were finally dropped: count of them, once per loss.
    void outgoingLost(quint64 count);

private:
    bool unreachableReported_ = false;
    WindowThreadScheduling* scheduling_ = nullptr;
};

}  // namespace keyflip
