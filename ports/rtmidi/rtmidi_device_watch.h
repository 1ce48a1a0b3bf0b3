#pragma once

#include "connected_peer.h"
#include "midi_backend.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace keyflip {

// How often the lists are read while a device is watched: a device that
// leaves is noticed within this long, and the reading costs the window
// thread a fraction of a millisecond each time.
inline constexpr std::chrono::milliseconds kDeviceWatchInterval{300};

// RtMidi tells of no device that comes or goes. So while a port is connected
// to a device, or waits for one it lost, this reads the lists of other
// programs' ports on the window thread and compares them with the last
// reading: the device a port is connected to that is no longer listed has
// left (or was renamed), and any change may bring one back.
class RtMidiDeviceWatch : public QObject {
public:
    struct Lists {
        // Each port by the name RtMidi gives it, which tells a device that
        // left and came back from one that stayed.
        std::vector<std::string> sources;
        std::vector<std::string> destinations;

        friend bool operator==(const Lists&, const Lists&) = default;
    };
    struct Callbacks {
        std::function<Lists()> read;
        // The device is reported by the name it was opened by.
        std::function<void(PortSide side, const std::string& name)> left;
        std::function<void()> changed;
    };

    RtMidiDeviceWatch(Callbacks callbacks, QObject* parent);

    // The port on side is connected to the device listed as given, opened as
    // name; an empty name is the port alone, with no device to lose.
    void connected(PortSide side, std::string name, std::string given);
    // The port on side is closed. A device it lost stays watched for, until
    // the side is connected again.
    void closed(PortSide side);
    // The device chosen for side was not there: it is watched for.
    void awaited(PortSide side);

    bool watching() const { return timer_.isActive(); }
    // Reads the lists and reports what changed; the timer calls it.
    void look();

private:
    struct Side {
        std::optional<ConnectedPeer<std::string>> peer;  // handle: the name as given
        bool awaiting = false;
    };

    Side& side(PortSide which) { return which == PortSide::Input ? input_ : output_; }
    void update();

    Callbacks callbacks_;
    Side input_;
    Side output_;
    Lists last_;
    QTimer timer_;
};

}  // namespace keyflip
