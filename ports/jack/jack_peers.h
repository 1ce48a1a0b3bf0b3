#pragma once

// The other clients' MIDI ports, as the UI thread sees them: listing them,
// connecting Keyflip's ports to one and disconnecting again, and telling
// when a connected one has left.

#include "jack_client.h"

#include "connected_peer.h"
#include "midi_backend.h"
#include "port_error.h"

#include <jack/jack.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace keyflip::jack {

// A peer is known by its handle too: a renamed port keeps it.
using ConnectedPeer = keyflip::ConnectedPeer<const jack_port_t*>;

// UI thread only. Every call takes the client that is open now.
class Peers {
public:
    // Once the client is open: Keyflip's own ports, which the lists leave out
    // and connections are made from.
    void attach(const OpenedClient& opened);

    // The other clients' MIDI ports that carry direction.
    std::vector<std::string> list(jack_client_t* client, unsigned long direction) const;
    // Connects Keyflip's port to the peer and gives the record of it; a
    // connection that was there already (a patchbay made it) is the user's.
    // direction: the flag the peer's port must carry.
    std::variant<ConnectedPeer, PortFault> connect(jack_client_t* client, const std::string& peer,
                                                   unsigned long direction, PortSide side) const;
    // Nothing to do without a client, a peer, or a connection of Keyflip's.
    void disconnect(jack_client_t* client, const ConnectedPeer& connected, PortSide side) const;
    // True once, when a peer that has not left yet is gone: its name is not
    // found, or its port left and the connection with it (another port of
    // the name may already be there). side: the peer's.
    bool leftNow(jack_client_t* client, ConnectedPeer& peer, bool portLeft, PortSide side) const;
    // The number the port registration callback gives the peer's port;
    // nothing for no peer.
    static std::optional<jack_port_id_t> portId(const ConnectedPeer& peer);

private:
    static std::string nameNow(const ConnectedPeer& peer);

    std::string ownPrefix_;
    std::string inPortName_;
    std::string outPortName_;
    const jack_port_t* inPort_ = nullptr;
    const jack_port_t* outPort_ = nullptr;
};

}  // namespace keyflip::jack
