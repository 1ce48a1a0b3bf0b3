#include "alsa_peers.h"

#include "alsa_check.h"

#include "port_texts.h"

#include <algorithm>
#include <map>
#include <utility>

namespace keyflip::alsa {

std::string withAddress(const std::string& name, const snd_seq_addr_t& address) {
    return name + " [" + std::to_string(address.client) + ':' + std::to_string(address.port) + ']';
}

bool answersTo(const PeerPort& port, const std::string& name) {
    return port.name == name || withAddress(port.sequencerName, port.address) == name;
}

std::vector<std::string> names(const std::vector<PeerPort>& ports) {
    std::vector<std::string> result;
    result.reserve(ports.size());
    for (const PeerPort& port : ports) {
        result.push_back(port.name);
    }
    return result;
}

std::vector<PeerPort> AlsaPeers::peerPorts(unsigned caps) const {
    std::vector<PeerPort> ports;
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    // Both queries end the walk with an error, which is how they say "no more".
    while (!check(snd_seq_query_next_client(sequencer_, client), "snd_seq_query_next_client")) {
        const int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == ownClient_) {
            continue;
        }
        const std::string clientName = snd_seq_client_info_get_name(client);
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (!check(snd_seq_query_next_port(sequencer_, port), "snd_seq_query_next_port")) {
            const unsigned portCaps = snd_seq_port_info_get_capability(port);
            if ((portCaps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) {
                continue;
            }
            std::string name = clientName + ':' + snd_seq_port_info_get_name(port);
            ports.push_back({name, name, *snd_seq_port_info_get_addr(port), portCaps});
        }
    }
    std::map<std::string, int> uses;
    for (const PeerPort& port : ports) {
        ++uses[port.sequencerName];
    }
    for (PeerPort& port : ports) {
        if (uses[port.sequencerName] > 1) {
            port.name = withAddress(port.sequencerName, port.address);
        }
    }
    std::erase_if(ports, [caps](const PeerPort& port) { return (port.caps & caps) != caps; });
    return ports;
}

FoundPeer AlsaPeers::find(const std::string& name, unsigned caps, PortSide side) const {
    for (PeerPort& port : peerPorts(0)) {
        if (!answersTo(port, name)) {
            continue;
        }
        if (!hasCaps(port.address, caps)) {
            return {{},
                    PortFault{PortErrorCode::DeviceOpenFailed,
                              texts::deviceNotConnected(side, name, texts::sendsNoMidi(side))}};
        }
        return {std::move(port), std::nullopt};
    }
    return {{}, PortFault{PortErrorCode::DeviceNotFound, texts::deviceNotThere(side, name)}};
}

bool AlsaPeers::stillThere(const PeerPort& peer, unsigned caps) const {
    for (const PeerPort& port : peerPorts(caps)) {
        if (port.address.client == peer.address.client && port.address.port == peer.address.port) {
            return port.sequencerName == peer.sequencerName;
        }
    }
    return false;
}

std::string AlsaPeers::awaitedName(const PeerPort& peer) const {
    if (peer.name == peer.sequencerName &&
        std::ranges::any_of(peerPorts(0), [&](const PeerPort& port) {
            return port.sequencerName == peer.sequencerName &&
                   (port.address.client != peer.address.client ||
                    port.address.port != peer.address.port);
        })) {
        return withAddress(peer.name, peer.address);
    }
    return peer.name;
}

bool AlsaPeers::hasCaps(const snd_seq_addr_t& address, unsigned caps) const {
    snd_seq_port_info_t* port = nullptr;
    snd_seq_port_info_alloca(&port);
    return !check(snd_seq_get_any_port_info(sequencer_, address.client, address.port, port),
                  "snd_seq_get_any_port_info") &&
           (snd_seq_port_info_get_capability(port) & caps) == caps;
}

}  // namespace keyflip::alsa
