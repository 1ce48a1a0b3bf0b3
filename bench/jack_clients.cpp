// keyflip_bench_clients: the JACK clients of scripts/bench, on libjack alone.
//
//   keyflip_bench_clients floor NAME
//       An in-cycle pass-through client NAME with ports "in" and "out": every
//       event leaves in the same cycle at the same offset. Prints "ready" and
//       runs until SIGTERM or SIGINT.
//
//   keyflip_bench_clients chain LABEL RELAY_IN RELAY_OUT COUNT PER_PERIOD
//       A sender client and a separate receiver client. The sender's "out" is
//       connected to RELAY_IN and RELAY_OUT to the receiver's "in" ("-" for
//       both connects them directly). COUNT Note On messages go out,
//       PER_PERIOD a period at scattered offsets, or with PER_PERIOD 0 as many
//       a period as the port takes. Each carries its number in its bytes, so
//       the receiver matches it to its send frame. Prints one "result" line of
//       key=value figures, latencies in milliseconds.

#include "latency_summary.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> stopRequested{false};

void onStopSignal(int) {
    stopRequested.store(true);
}

jack_client_t* openClient(const std::string& name) {
    jack_status_t status{};
    jack_client_t* client = jack_client_open(
        name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
    if (client == nullptr) {
        std::fprintf(stderr, "cannot open JACK client %s (status 0x%x)\n", name.c_str(),
                     static_cast<unsigned>(status));
        std::exit(2);
    }
    return client;
}

std::atomic<std::uint64_t> xrunCount{0};

int countXrun(void*) {
    xrunCount.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// ------------------------------------------------------------------- floor

struct Floor {
    jack_port_t* in = nullptr;
    jack_port_t* out = nullptr;
};

int floorProcess(jack_nframes_t frames, void* arg) {
    auto* floor = static_cast<Floor*>(arg);
    void* in = jack_port_get_buffer(floor->in, frames);
    void* out = jack_port_get_buffer(floor->out, frames);
    jack_midi_clear_buffer(out);
    const std::uint32_t count = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) == 0) {
            jack_midi_event_write(out, event.time, event.buffer, event.size);
        }
    }
    return 0;
}

int runFloor(const std::string& name) {
    jack_client_t* client = openClient(name);
    Floor floor;
    floor.in = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    floor.out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (floor.in == nullptr || floor.out == nullptr ||
        jack_set_process_callback(client, floorProcess, &floor) != 0 ||
        jack_activate(client) != 0) {
        std::fprintf(stderr, "cannot set up the floor client\n");
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    while (!stopRequested.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    jack_deactivate(client);
    jack_client_close(client);
    return 0;
}

// ------------------------------------------------------------------- chain

constexpr std::uint32_t kMaxCount = 16 * 128 * 127;

std::array<std::uint8_t, 3> encode(std::uint32_t number) {
    return {static_cast<std::uint8_t>(0x90 | (number % 16)),
            static_cast<std::uint8_t>((number / 16) % 128),
            static_cast<std::uint8_t>(1 + number / 2048)};
}

bool decode(const jack_midi_event_t& event, std::uint32_t& number) {
    if (event.size != 3 || (event.buffer[0] & 0xF0) != 0x90 || event.buffer[2] == 0) {
        return false;
    }
    number = (event.buffer[2] - 1U) * 2048U + event.buffer[1] * 16U + (event.buffer[0] & 0x0FU);
    return true;
}

struct Sender {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::uint32_t count = 0;
    std::uint32_t perPeriod = 0;  // 0: as many as the port takes
    std::vector<std::uint32_t> sendFrame;
    std::uint32_t rngState = 12345;
    std::atomic<bool> go{false};
    std::atomic<std::uint32_t> next{0};
};

std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525U + 1013904223U;
    return state >> 8;
}

int senderProcess(jack_nframes_t frames, void* arg) {
    auto* sender = static_cast<Sender*>(arg);
    void* buffer = jack_port_get_buffer(sender->port, frames);
    jack_midi_clear_buffer(buffer);
    if (!sender->go.load(std::memory_order_acquire)) {
        return 0;
    }
    const jack_nframes_t cycleStart = jack_last_frame_time(sender->client);
    std::uint32_t next = sender->next.load(std::memory_order_relaxed);
    if (sender->perPeriod == 0) {
        while (next < sender->count && jack_midi_max_event_size(buffer) >= 3) {
            const auto bytes = encode(next);
            if (jack_midi_event_write(buffer, 0, bytes.data(), 3) != 0) {
                break;
            }
            sender->sendFrame[next] = cycleStart;
            ++next;
        }
    } else {
        // Scattered offsets, sorted, so the jitter a relay adds shows.
        std::array<jack_nframes_t, 4096> offsets{};
        const std::uint32_t planned =
            std::min({sender->perPeriod, sender->count - next, std::uint32_t{4096}});
        for (std::uint32_t i = 0; i < planned; ++i) {
            offsets[i] =
                planned > frames ? i * frames / planned : nextRandom(sender->rngState) % frames;
        }
        std::sort(offsets.begin(), offsets.begin() + planned);
        for (std::uint32_t i = 0; i < planned; ++i) {
            const auto bytes = encode(next);
            if (jack_midi_max_event_size(buffer) < 3 ||
                jack_midi_event_write(buffer, offsets[i], bytes.data(), 3) != 0) {
                break;
            }
            sender->sendFrame[next] = cycleStart + offsets[i];
            ++next;
        }
    }
    sender->next.store(next, std::memory_order_release);
    return 0;
}

struct Receiver {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::vector<std::uint32_t> arrivalFrame;
    std::vector<std::uint8_t> arrived;
    std::atomic<std::uint32_t> received{0};
    std::atomic<std::uint32_t> outOfOrder{0};
    std::atomic<std::uint32_t> foreign{0};
    std::int64_t last = -1;
};

int receiverProcess(jack_nframes_t frames, void* arg) {
    auto* receiver = static_cast<Receiver*>(arg);
    void* buffer = jack_port_get_buffer(receiver->port, frames);
    const jack_nframes_t cycleStart = jack_last_frame_time(receiver->client);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    std::uint32_t received = receiver->received.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        std::uint32_t number = 0;
        if (jack_midi_event_get(&event, buffer, i) != 0 || !decode(event, number) ||
            number >= receiver->arrived.size() || receiver->arrived[number] != 0) {
            receiver->foreign.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (static_cast<std::int64_t>(number) < receiver->last) {
            receiver->outOfOrder.fetch_add(1, std::memory_order_relaxed);
        }
        receiver->last = number;
        receiver->arrived[number] = 1;
        receiver->arrivalFrame[number] = cycleStart + event.time;
        ++received;
    }
    receiver->received.store(received, std::memory_order_release);
    return 0;
}

bool connectPorts(jack_client_t* client, const std::string& from, const std::string& to) {
    const int result = jack_connect(client, from.c_str(), to.c_str());
    if (result != 0 && result != EEXIST) {
        std::fprintf(stderr, "cannot connect %s to %s\n", from.c_str(), to.c_str());
        return false;
    }
    return true;
}

int runChain(const std::string& label, const std::string& relayIn, const std::string& relayOut,
             std::uint32_t count, std::uint32_t perPeriod) {
    if (count == 0 || count > kMaxCount) {
        std::fprintf(stderr, "COUNT must be 1 to %u\n", kMaxCount);
        return 2;
    }
    const std::string prefix = "kfb-" + std::to_string(::getpid());
    Sender sender;
    sender.count = count;
    sender.perPeriod = perPeriod;
    sender.sendFrame.assign(count, 0);
    Receiver receiver;
    receiver.arrivalFrame.assign(count, 0);
    receiver.arrived.assign(count, 0);

    sender.client = openClient(prefix + "-send");
    receiver.client = openClient(prefix + "-recv");
    jack_set_xrun_callback(sender.client, countXrun, nullptr);
    sender.port =
        jack_port_register(sender.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    receiver.port =
        jack_port_register(receiver.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (sender.port == nullptr || receiver.port == nullptr ||
        jack_set_process_callback(sender.client, senderProcess, &sender) != 0 ||
        jack_set_process_callback(receiver.client, receiverProcess, &receiver) != 0 ||
        jack_activate(receiver.client) != 0 || jack_activate(sender.client) != 0) {
        std::fprintf(stderr, "cannot set up the chain clients\n");
        return 2;
    }
    const std::string senderOut = jack_port_name(sender.port);
    const std::string receiverIn = jack_port_name(receiver.port);
    const bool connected = relayIn == "-" ? connectPorts(sender.client, senderOut, receiverIn)
                                          : connectPorts(sender.client, senderOut, relayIn) &&
                                                connectPorts(sender.client, relayOut, receiverIn);
    if (!connected) {
        return 2;
    }
    // Let the graph settle before the first message.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::uint64_t xrunsBefore = xrunCount.load();
    sender.go.store(true, std::memory_order_release);

    // Done when all arrived, or for two seconds nothing more went out and
    // nothing more came (also when the server stopped calling the sender).
    auto lastProgress = Clock::now();
    std::uint32_t seen = 0;
    std::uint32_t sentSeen = 0;
    while (!stopRequested.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::uint32_t now = receiver.received.load(std::memory_order_acquire);
        const std::uint32_t sentNow = sender.next.load(std::memory_order_acquire);
        if (now != seen || sentNow != sentSeen) {
            seen = now;
            sentSeen = sentNow;
            lastProgress = Clock::now();
        }
        if (now == count || Clock::now() - lastProgress > std::chrono::seconds(2)) {
            break;
        }
    }
    const std::uint64_t xruns = xrunCount.load() - xrunsBefore;
    const jack_nframes_t period = jack_get_buffer_size(sender.client);
    const double rate = jack_get_sample_rate(sender.client);
    jack_deactivate(sender.client);
    jack_deactivate(receiver.client);

    const std::uint32_t sent = sender.next.load();
    std::vector<double> latencies;
    latencies.reserve(count);
    // Frames from the first send to the last arrival, for the rate.
    std::int64_t lastArrival = 0;
    for (std::uint32_t i = 0; i < sent; ++i) {
        if (receiver.arrived[i] == 0) {
            continue;
        }
        const auto frames =
            static_cast<std::int32_t>(receiver.arrivalFrame[i] - sender.sendFrame[i]);
        latencies.push_back(frames * 1000.0 / rate);
        lastArrival = std::max<std::int64_t>(
            lastArrival, static_cast<std::int32_t>(receiver.arrivalFrame[i] - sender.sendFrame[0]));
    }
    const std::uint32_t received = receiver.received.load();
    const double periodMs = period * 1000.0 / rate;
    const auto late = static_cast<std::uint32_t>(
        std::ranges::count_if(latencies, [&](double latency) { return latency > periodMs + 0.1; }));
    const keyflip::bench::LatencySummary summary = keyflip::bench::summarize(std::move(latencies));
    const std::size_t n = summary.count;
    const double seconds = (lastArrival + 1) / rate;
    std::printf(
        "result label=%s period=%u count=%u sent=%u received=%u lost=%u out_of_order=%u "
        "foreign=%u xruns=%llu min_ms=%.3f avg_ms=%.3f p50_ms=%.3f p999_ms=%.3f max_ms=%.3f "
        "jitter_ms=%.3f spread_ms=%.3f late=%u within_period_pct=%.3f seconds=%.3f "
        "rate_per_s=%.0f\n",
        label.c_str(), period, count, sent, received, count - received, receiver.outOfOrder.load(),
        receiver.foreign.load(), static_cast<unsigned long long>(xruns), summary.min,
        summary.average, summary.quantile(0.5), summary.quantile(0.999), summary.max,
        summary.deviation, summary.max - summary.min, late,
        n > 0 ? 100.0 * static_cast<double>(n - late) / static_cast<double>(n) : 0.0, seconds,
        seconds > 0 ? received / seconds : 0.0);
    std::fflush(stdout);
    jack_client_close(sender.client);
    jack_client_close(receiver.client);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "floor" && argc == 3) {
        return runFloor(argv[2]);
    }
    if (mode == "chain" && argc == 7) {
        return runChain(argv[2], argv[3], argv[4],
                        static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10)),
                        static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10)));
    }
    std::fprintf(stderr,
                 "usage: keyflip_bench_clients floor NAME\n"
                 "       keyflip_bench_clients chain LABEL RELAY_IN|- RELAY_OUT|- COUNT "
                 "PER_PERIOD\n");
    return 2;
}
