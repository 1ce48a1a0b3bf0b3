#pragma once

// What the end-to-end contract needs from a MIDI system: the backend under
// test, and other programs' ports that send and record MIDI on that system,
// as a keyboard and a synthesizer would. Each system's kit implements it on
// the system's own library, so one contract runs unchanged on all of them.

#include "midi_backend.h"
#include "wire_format.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keyflip::contract {

// One event as raw bytes, system exclusive and malformed ones included.
using RawEvent = std::vector<std::uint8_t>;

// Another program's source port. It leaves the system when destroyed.
class PeerSource {
public:
    virtual ~PeerSource() = default;
    // As the backend lists it.
    virtual std::string portName() const = 0;
    // Starts sending the events in order, perBurst of them back to back and
    // then a short pause each time; 0 sends them as fast as the system takes
    // them. One batch per source.
    virtual void send(const std::vector<RawEvent>& events, std::size_t perBurst) = 0;
    // Events of the batch handed to the system so far.
    virtual std::size_t sentCount() const = 0;
    // Gives the port another name of its own (as a program renames a track);
    // portName() then gives the new name.
    virtual bool renamePort(const std::string& newName) = 0;
    // Deletes the port and makes it again at once under the same name, as a
    // program restarting its MIDI does. Not while a batch is being sent.
    virtual bool remakePort() = 0;
};

// Another program's destination port, recording every short message that
// reaches it. It leaves the system when destroyed.
class PeerDestination {
public:
    virtual ~PeerDestination() = default;
    virtual std::string portName() const = 0;
    virtual std::size_t count() const = 0;
    virtual std::vector<WireMessage> messages() const = 0;
    // Messages that reached it but could not be kept (no room).
    virtual std::uint64_t lost() const = 0;
    virtual bool renamePort(const std::string& newName) = 0;
    virtual bool remakePort() = 0;
};

// What a backend cannot do on a system because the library under it does
// not. A case that needs it still runs and checks what holds (what arrives
// is in order and intact), says how much arrived, and is skipped with the
// reason; README.md and RELIABILITY.md list each one.
enum class Limit {
    // Another program's burst overflows what the library reads it into; the
    // system drops the rest and the backend is not told.
    IncomingBurstsDroppedUnreported,
    // What the backend sends faster than the system carries it is dropped on
    // the way, and the backend is not told.
    OutgoingBurstsDroppedUnreported,
    // An event that starts a system exclusive message and does not end it
    // takes the next event into it, and that is lost.
    UnendedSysExTakesTheNextEvent,
    // A port deleted and made again at once under its name reads as if it
    // had never gone: the library tells nothing of ports coming and going.
    PortsMadeAgainUnnoticed,
};

class MidiSystemKit {
public:
    virtual ~MidiSystemKit() = default;
    virtual std::string name() const = 0;
    // Nothing when the system is ready; otherwise why the contract cannot run.
    virtual std::optional<std::string> start() = 0;
    // Whether a system that cannot start fails the case instead of skipping it.
    virtual bool required() const { return false; }
    virtual std::unique_ptr<MidiBackend> createBackend() = 0;
    virtual std::unique_ptr<PeerSource> createSource(const std::string& clientName) = 0;
    virtual std::unique_ptr<PeerDestination> createDestination(const std::string& clientName,
                                                               std::size_t capacity) = 0;
    // Connects two ports by name from outside, as a patchbay does.
    virtual bool patch(const std::string& from, const std::string& to) = 0;
    // How often the system's real-time threads missed their deadline
    // (xruns) since start(). That may excuse a message count, never order,
    // integrity or a hang.
    virtual std::uint64_t xruns() const = 0;
    // Why the backend cannot do this here; nothing when it can.
    virtual std::optional<std::string> limit(Limit) const { return std::nullopt; }
};

// Makes the backend under test on the kit's system.
using BackendFactory = std::function<std::unique_ptr<MidiBackend>()>;

struct KitFactory {
    std::string name;
    std::function<std::unique_ptr<MidiSystemKit>()> create;
};

}  // namespace keyflip::contract
