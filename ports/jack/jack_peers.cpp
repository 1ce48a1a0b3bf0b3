#include "jack_peers.h"

#include "port_texts.h"

#include <jack/uuid.h>

#include <QtGlobal>

#include <cerrno>
#include <string_view>

namespace keyflip::jack {

void Peers::attach(const OpenedClient& opened) {
    ownPrefix_ = std::string(jack_get_client_name(opened.client)) + ':';
    inPortName_ = jack_port_name(opened.in);
    outPortName_ = jack_port_name(opened.out);
    inPort_ = opened.in;
    outPort_ = opened.out;
}

std::vector<std::string> Peers::list(jack_client_t* client, unsigned long direction) const {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, direction);
    if (ports == nullptr) {
        return names;
    }
    for (const char** port = ports; *port != nullptr; ++port) {
        if (std::string_view(*port).substr(0, ownPrefix_.size()) != ownPrefix_) {
            names.emplace_back(*port);
        }
    }
    jack_free(static_cast<void*>(ports));
    return names;
}

std::variant<ConnectedPeer, PortFault> Peers::connect(jack_client_t* client,
                                                      const std::string& peer,
                                                      unsigned long direction,
                                                      PortSide side) const {
    const jack_port_t* port = jack_port_by_name(client, peer.c_str());
    if (port == nullptr) {
        return PortFault{PortErrorCode::DeviceNotFound, texts::deviceNotThere(side, peer)};
    }
    const bool fits = !jack_port_is_mine(client, port) && isMidiPort(port) &&
                      (static_cast<unsigned long>(jack_port_flags(port)) & direction) != 0;
    const int result = !fits ? EINVAL
                       : side == PortSide::Input
                           ? jack_connect(client, peer.c_str(), inPortName_.c_str())
                           : jack_connect(client, outPortName_.c_str(), peer.c_str());
    if (result != 0 && result != EEXIST) {
        return PortFault{PortErrorCode::DeviceOpenFailed, texts::deviceNotConnected(side, peer)};
    }
    ConnectedPeer connected{peer, port};
    connected.ours = result == 0;
    return connected;
}

void Peers::disconnect(jack_client_t* client, const ConnectedPeer& connected, PortSide side) const {
    if (client == nullptr || connected.name.empty() || !connected.ours) {
        return;
    }
    const std::string peer = nameNow(connected);
    const bool input = side == PortSide::Input;
    const std::string& from = input ? peer : outPortName_;
    const std::string& to = input ? inPortName_ : peer;
    const jack_port_t* own = input ? inPort_ : outPort_;
    // Not connected any more (the peer left, a patchbay undid it) is what a
    // disconnection wants.
    if (jack_disconnect(client, from.c_str(), to.c_str()) != 0 &&
        jack_port_connected_to(own, peer.c_str()) != 0) {
        // Left connected, the old device would go on playing into, or
        // hearing, whatever the port is opened on next.
        qWarning(texts::kJackNotDisconnected, from.c_str(), to.c_str());
    }
}

// A port that left is the peer's only while the connection went with it:
// libjack may tell of an earlier port of that number after the connection to
// the new one was made.
bool Peers::leftNow(jack_client_t* client, ConnectedPeer& peer, bool portLeft,
                    PortSide side) const {
    if (peer.name.empty() || peer.left) {
        return false;
    }
    const jack_port_t* own = side == PortSide::Input ? inPort_ : outPort_;
    const bool gone = jack_port_by_name(client, peer.name.c_str()) == nullptr ||
                      (portLeft && jack_port_connected_to(own, peer.name.c_str()) == 0);
    return gone && peer.markLeft();
}

// JACK numbers a port by its index, which its UUID carries.
std::optional<jack_port_id_t> Peers::portId(const ConnectedPeer& peer) {
    if (peer.handle == nullptr) {
        return std::nullopt;
    }
    const jack_uuid_t uuid = jack_port_uuid(peer.handle);
    if (uuid == 0) {
        return std::nullopt;
    }
    return jack_uuid_to_index(uuid);
}

// A port renamed since it was connected goes by another name now; its
// client, and with it the part before the colon, stays the same.
std::string Peers::nameNow(const ConnectedPeer& peer) {
    const char* now = peer.handle != nullptr ? jack_port_name(peer.handle) : nullptr;
    const std::string_view client = std::string_view(peer.name).substr(0, peer.name.find(':') + 1);
    if (!peer.left || now == nullptr || !std::string_view(now).starts_with(client)) {
        return peer.name;
    }
    return now;
}

}  // namespace keyflip::jack
