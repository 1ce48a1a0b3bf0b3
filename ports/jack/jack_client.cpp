#include "jack_client.h"

#include "port_texts.h"

#include <jack/midiport.h>

#include <QtGlobal>

#include <cstring>

namespace keyflip::jack {

namespace {

constexpr const char* kClientName = "Keyflip";
constexpr const char* kInputPortName = "in";
constexpr const char* kOutputPortName = "out";

ClientEvents& eventsOf(void* events) {
    return *static_cast<ClientEvents*>(events);
}

int onProcess(jack_nframes_t frames, void* events) {
    eventsOf(events).process(frames);
    return 0;
}

void onShutdown(jack_status_t status, const char*, void* events) {
    eventsOf(events).serverGone((status & JackClientZombie) != 0);
}

void onPortRegistration(jack_port_id_t port, int registered, void* events) {
    if (registered == 0) {
        eventsOf(events).portLeft(port);
        eventsOf(events).graphChanged();
    } else {
        eventsOf(events).portsAppeared();
    }
}

// A client that deactivates before it closes, as programs do when they quit,
// takes its ports away without a word about them: the server tells of port
// registrations only for active clients. Its own leaving is told.
void onClientRegistration(const char*, int registered, void* events) {
    if (registered == 0) {
        eventsOf(events).graphChanged();
    }
}

// A rename ends one name and brings another.
void onPortRename(jack_port_id_t, const char*, const char*, void* events) {
    eventsOf(events).portsAppeared();
    eventsOf(events).graphChanged();
}

void onPortConnect(jack_port_id_t, jack_port_id_t, int connected, void* events) {
    if (connected == 0) {
        eventsOf(events).graphChanged();
    }
}

}  // namespace

std::optional<OpenedClient> openClient(ClientEvents& events, jack_status_t& status,
                                       const std::function<void(const OpenedClient&)>& publish) {
    status = {};
    jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
    if (client == nullptr) {
        return std::nullopt;
    }
    const OpenedClient opened{
        client,
        jack_port_register(client, kInputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0),
        jack_port_register(client, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0)};
    publish(opened);
    if (opened.in == nullptr || opened.out == nullptr ||
        jack_set_process_callback(client, &onProcess, &events) != 0 ||
        jack_set_port_registration_callback(client, &onPortRegistration, &events) != 0 ||
        jack_set_client_registration_callback(client, &onClientRegistration, &events) != 0 ||
        jack_set_port_connect_callback(client, &onPortConnect, &events) != 0 ||
        jack_set_port_rename_callback(client, &onPortRename, &events) != 0) {
        closeClient(client);
        return std::nullopt;
    }
    jack_on_info_shutdown(client, &onShutdown, &events);
    if (jack_activate(client) != 0) {
        closeClient(client);
        return std::nullopt;
    }
    return opened;
}

void closeClient(jack_client_t* client) {
    if (jack_client_close(client) != 0) {
        qWarning("%s", texts::kJackCloseUnconfirmed);
    }
}

bool isMidiPort(const jack_port_t* port) {
    return std::strcmp(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE) == 0;
}

}  // namespace keyflip::jack
