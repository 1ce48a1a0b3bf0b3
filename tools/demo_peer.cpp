// keyflip_demo_peer CLIENT_NAME
//
// A JACK client with an output port "keyboard" and an input port "synth".
// Each line on standard input holds one short MIDI message as 1 to 3 decimal
// bytes ("144 60 100"); it goes out of "keyboard" in the next period. Every
// message reaching "synth" is printed on standard output, in the same form,
// as it arrives. "ready" is printed once both ports exist; the client closes
// at the end of standard input or on SIGINT or SIGTERM.

#include <jack/jack.h>
#include <jack/midiport.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

struct Event {
    std::array<std::uint8_t, 3> bytes{};
    std::size_t size = 0;
};

// One thread pushes, one pops; the process callback may neither block nor
// allocate.
class EventRing {
public:
    bool push(const Event& event) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == kCapacity) {
            return false;
        }
        slots_[tail % kCapacity] = event;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    const Event* front() const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &slots_[head % kCapacity];
    }
    void pop() noexcept { head_.fetch_add(1, std::memory_order_release); }

private:
    static constexpr std::size_t kCapacity = 1024;
    std::array<Event, kCapacity> slots_{};
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
};

struct Peer {
    jack_port_t* keyboard = nullptr;
    jack_port_t* synth = nullptr;
    EventRing toSend;
    EventRing received;
    std::atomic<std::uint64_t> lostOnArrival{0};
    std::atomic<bool> serverGone{false};
};

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

int onProcess(jack_nframes_t frames, void* context) {
    auto& peer = *static_cast<Peer*>(context);
    void* in = jack_port_get_buffer(peer.synth, frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    for (std::uint32_t index = 0; index < count; ++index) {
        jack_midi_event_t midi;
        if (jack_midi_event_get(&midi, in, index) != 0) {
            continue;
        }
        Event event;
        event.size = midi.size < event.bytes.size() ? midi.size : event.bytes.size();
        for (std::size_t i = 0; i < event.size; ++i) {
            event.bytes[i] = midi.buffer[i];
        }
        if (!peer.received.push(event)) {
            peer.lostOnArrival.fetch_add(1, std::memory_order_relaxed);
        }
    }

    void* out = jack_port_get_buffer(peer.keyboard, frames);
    jack_midi_clear_buffer(out);
    // A message that does not fit waits for the next period, in order.
    while (const Event* event = peer.toSend.front()) {
        if (jack_midi_event_write(out, 0, event->bytes.data(), event->size) != 0) {
            break;
        }
        peer.toSend.pop();
    }
    return 0;
}

void onShutdown(void* context) {
    static_cast<Peer*>(context)->serverGone.store(true, std::memory_order_release);
}

// "144 60 100" to an event; false for anything else.
bool parseLine(std::string_view line, Event& event) {
    event = {};
    while (true) {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (line.empty()) {
            return event.size > 0;
        }
        if (event.size == event.bytes.size()) {
            return false;
        }
        unsigned value = 0;
        const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
        if (error != std::errc{} || value > 255) {
            return false;
        }
        event.bytes[event.size++] = static_cast<std::uint8_t>(value);
        line.remove_prefix(static_cast<std::size_t>(end - line.data()));
    }
}

void printReceived(Peer& peer) {
    while (const Event* event = peer.received.front()) {
        for (std::size_t i = 0; i < event->size; ++i) {
            std::printf(i == 0 ? "%u" : " %u", static_cast<unsigned>(event->bytes[i]));
        }
        std::printf("\n");
        peer.received.pop();
    }
    std::fflush(stdout);
}

// Sends each complete line of pending; false once standard input has ended.
bool readCommands(Peer& peer, std::string& pending) {
    std::array<char, 512> chunk{};
    const ssize_t got = ::read(STDIN_FILENO, chunk.data(), chunk.size());
    if (got <= 0) {
        return false;
    }
    pending.append(chunk.data(), static_cast<std::size_t>(got));
    std::size_t newline = 0;
    while ((newline = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        Event event;
        if (!parseLine(line, event)) {
            std::fprintf(stderr, "not a MIDI message of 1 to 3 decimal bytes: \"%s\"\n",
                         line.c_str());
        } else if (!peer.toSend.push(event)) {
            std::fprintf(stderr, "too many messages waiting; \"%s\" was not sent\n", line.c_str());
        }
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CLIENT_NAME\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    jack_status_t status{};
    jack_client_t* client = jack_client_open(
        argv[1], static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
    if (client == nullptr) {
        std::fprintf(stderr, "cannot open the JACK client \"%s\" (status 0x%x)\n", argv[1],
                     static_cast<unsigned>(status));
        return 1;
    }
    Peer peer;
    peer.keyboard =
        jack_port_register(client, "keyboard", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    peer.synth = jack_port_register(client, "synth", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_on_shutdown(client, &onShutdown, &peer);
    if (peer.keyboard == nullptr || peer.synth == nullptr ||
        jack_set_process_callback(client, &onProcess, &peer) != 0 || jack_activate(client) != 0) {
        std::fprintf(stderr, "cannot set up the JACK client \"%s\"\n", argv[1]);
        jack_client_close(client);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::string pending;
    bool inputOpen = true;
    while (inputOpen && stopRequested == 0 && !peer.serverGone.load(std::memory_order_acquire)) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        // Short, so that what arrives is printed within a millisecond or so.
        if (::poll(&input, 1, 1) > 0) {
            inputOpen = readCommands(peer, pending);
        }
        printReceived(peer);
    }

    // What was written just before the end still goes out, within a second.
    for (int waited = 0; waited < 1000 && peer.toSend.front() != nullptr &&
                         !peer.serverGone.load(std::memory_order_acquire);
         ++waited) {
        ::poll(nullptr, 0, 1);
    }
    const bool serverGone = peer.serverGone.load(std::memory_order_acquire);
    if (!serverGone) {
        jack_deactivate(client);
    }
    printReceived(peer);
    jack_client_close(client);
    if (const std::uint64_t lost = peer.lostOnArrival.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "%llu received messages were lost\n",
                     static_cast<unsigned long long>(lost));
        return 1;
    }
    if (serverGone) {
        std::fprintf(stderr, "the JACK server went away\n");
        return 1;
    }
    return 0;
}
