#pragma once

// The other clients' ports: the lists, the names two devices of one model
// are told apart by, and looking one up by name.

#include "connected_peer.h"
#include "midi_backend.h"
#include "port_error.h"

#include <alsa/asoundlib.h>

#include <optional>
#include <string>
#include <vector>

namespace keyflip::alsa {

inline constexpr unsigned kSourceCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
inline constexpr unsigned kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

// A port of another client, by the name the lists show and its address now.
// The sequencer's name for it is "client:port"; two devices of one model have
// the same, so the lists add the address to each of them.
struct PeerPort {
    std::string name;
    std::string sequencerName;
    snd_seq_addr_t address{};
    unsigned caps = 0;
};

using ConnectedPeer = keyflip::ConnectedPeer<PeerPort>;

std::string withAddress(const std::string& name, const snd_seq_addr_t& address);

// A name with an address stands for the port at that address while it has
// that sequencer name, also once its twin has gone and the lists show it
// without the address: a list read before, or a device awaited by it.
bool answersTo(const PeerPort& port, const std::string& name);

std::vector<std::string> names(const std::vector<PeerPort>& ports);

struct FoundPeer {
    PeerPort port;
    std::optional<PortFault> error;
    explicit operator bool() const { return !error; }
};

// The sequencer's other clients as the UI thread asks about them.
class AlsaPeers {
public:
    // ownClient: the program's own client, which the lists leave out.
    AlsaPeers(snd_seq_t* sequencer, int ownClient) : sequencer_(sequencer), ownClient_(ownClient) {}

    // Other clients' exported ports with the given capabilities, named
    // "client:port" as aconnect and the patchbays show them, in address order.
    // Names are made unique over all exported ports, so that a name stands for
    // the same port in every list.
    std::vector<PeerPort> peerPorts(unsigned caps) const;

    // Looked up now, so the address opened is the one the name has now.
    FoundPeer find(const std::string& name, unsigned caps, PortSide side) const;

    // A port that left and a new one given its address are told apart by name.
    bool stillThere(const PeerPort& peer, unsigned caps) const;

    // The name a device that left is awaited by. One opened as the only port
    // of its name while another of that name is listed now is awaited with its
    // address, so that the other is never taken for it.
    std::string awaitedName(const PeerPort& peer) const;

private:
    bool hasCaps(const snd_seq_addr_t& address, unsigned caps) const;

    snd_seq_t* sequencer_;
    int ownClient_;
};

}  // namespace keyflip::alsa
