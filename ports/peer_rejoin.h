#pragma once

#include "midi_backend.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>

namespace keyflip {

// Connects a port again to the device it lost, once a device of exactly that
// name is listed again: a cable knocked out or a synthesizer switched off and
// on plays on without the user. A name that differs at all (a second keyboard
// of the same model) is never taken, and a device the program chooses since
// makes the port forget the old one.
class PeerRejoin : public QObject {
public:
    // Opens the port on the device again, started as before or not; false
    // when the device could not be connected (yet).
    using Reopen = std::function<bool(const std::string& name, bool started)>;

    PeerRejoin(MidiBackend& backend, PortSide side, Reopen reopen, QObject* parent);

    void remember(std::string name, bool started);
    void forget();
    // The device awaited, if any.
    const std::string* awaitedName() const { return awaited_ ? &awaited_->name : nullptr; }
    // Whether the port is started once the device is back: the program may
    // start or stop it meanwhile.
    void setStarted(bool started) {
        if (awaited_) {
            awaited_->started = started;
        }
    }

private:
    struct Awaited {
        std::string name;
        bool started;
    };

    void attempt(bool afterChange);
    bool listed(const std::string& name) const;

    MidiBackend& backend_;
    const PortSide side_;
    const Reopen reopen_;
    std::optional<Awaited> awaited_;
    // A port can be listed a moment before it can be connected (a JACK
    // client registers its ports before it is active), so a refused
    // connection is tried again a little later, a bounded number of times.
    QTimer retry_;
    int retriesLeft_ = 0;
};

// A device chosen while it is away (unplugged since the list was read, or
// chosen again while awaited) is awaited like one that left while open; the
// fault that says it is not there says so too.
void awaitIfAway(PeerRejoin& rejoin, const std::string& name, PortFault& fault);

}  // namespace keyflip
