#pragma once

// The JACK client's life cycle: opening the client "Keyflip" with its MIDI
// ports "in" and "out", wiring libjack's callbacks to the backend, and
// closing it.

#include <jack/jack.h>

#include <functional>
#include <optional>

namespace keyflip::jack {

// What libjack's threads report. Called on those threads, so nothing here
// may block, allocate or call Qt.
class ClientEvents {
public:
    // JACK's process thread, once per period.
    virtual void process(jack_nframes_t frames) noexcept = 0;
    // The server stopped, or gave up on this client (droppedByServer).
    virtual void serverGone(bool droppedByServer) noexcept = 0;
    // A port or a client left, a port was renamed, or a connection was undone.
    virtual void graphChanged() noexcept = 0;
    // This port left (graphChanged follows); another of its name may come at
    // once.
    virtual void portLeft(jack_port_id_t port) noexcept = 0;
    // A port appeared or was renamed.
    virtual void portsAppeared() noexcept = 0;

protected:
    ~ClientEvents() = default;
};

struct OpenedClient {
    jack_client_t* client;
    jack_port_t* in;
    jack_port_t* out;
};

// Opens and activates the client with the events wired. publish runs just
// before activation, so the first process callback finds the ports. Nothing,
// with what JACK said in status, when a step fails.
std::optional<OpenedClient> openClient(ClientEvents& events, jack_status_t& status,
                                       const std::function<void(const OpenedClient&)>& publish);

// libjack frees the client whatever it answers; a failure only means the
// server may keep its ports a moment longer, and is said on stderr.
void closeClient(jack_client_t* client);

bool isMidiPort(const jack_port_t* port);

}  // namespace keyflip::jack
