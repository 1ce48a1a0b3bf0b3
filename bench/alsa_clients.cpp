// keyflip_bench_alsa_clients: the ALSA sequencer clients of scripts/bench, on
// libasound alone.
//
//   keyflip_bench_alsa_clients chain LABEL RELAY_IN RELAY_OUT COUNT GAP_US
//       A sender client and a separate receiver client. The sender's port is
//       subscribed to RELAY_IN, and RELAY_OUT to the receiver's port
//       ("client:port" as aconnect takes them; "-" for both subscribes the
//       sender straight to the receiver). COUNT Note On messages go out as
//       direct events, one every GAP_US microseconds on average (each gap
//       drawn between half and one and a half times that), or with GAP_US 0
//       back to back as fast as the sender can write them. Each carries its
//       number in its bytes. The sender stamps a message with CLOCK_MONOTONIC
//       just before writing it, the receiver just after reading it from the
//       kernel. Prints one "result" line of key=value figures, latencies in
//       milliseconds.
//
//   keyflip_bench_alsa_clients relay NAME
//       A client NAME with an input port (NAME:0) and an output port (NAME:1)
//       that passes every Note On straight on: one thread, a blocking read
//       and a direct send per message, nothing else. What any relay program
//       costs in this sequencer, the floor beside Keyflip's figures. Prints
//       "ready" once its ports exist; runs until SIGTERM.
//
//   keyflip_bench_alsa_clients syscalls
//       Prints the time one system call takes here (a plain one, and a clock
//       read), the unit of every relay's own cost in a VM.

#include "latency_summary.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <time.h>
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

// The most events the kernel keeps for one client's input.
constexpr int kInputPoolEvents = 2000;
constexpr std::uint32_t kMaxCount = 16 * 128 * 127;

std::atomic<bool> stopRequested{false};

void onStopSignal(int) {
    stopRequested.store(true);
}

[[noreturn]] void fail(const char* what, int error) {
    std::fprintf(stderr, "%s: %s\n", what, snd_strerror(error));
    std::exit(2);
}

// Dies with what ALSA said when a call returned an error.
int check(int result, const char* what) {
    if (result < 0) {
        fail(what, result);
    }
    return result;
}

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

struct SequencerCloser {
    void operator()(snd_seq_t* sequencer) const {
        if (const int result = snd_seq_close(sequencer); result < 0) {
            std::fprintf(stderr, "cannot close a sequencer client: %s\n", snd_strerror(result));
        }
    }
};
using Sequencer = std::unique_ptr<snd_seq_t, SequencerCloser>;

Sequencer openClient(const std::string& name, int streams) {
    snd_seq_t* raw = nullptr;
    check(snd_seq_open(&raw, "default", streams, 0), "cannot open the ALSA sequencer");
    Sequencer sequencer(raw);
    check(snd_seq_set_client_name(raw, name.c_str()), "cannot name the client");
    return sequencer;
}

// A port of the plain MIDI kind, which a sequencer client of our own offers.
int createPort(snd_seq_t* sequencer, const char* name, unsigned capabilities, const char* what) {
    return check(
        snd_seq_create_simple_port(sequencer, name, capabilities,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION),
        what);
}

// Carries the number in channel, note and velocity (never 0, which would make
// it a Note Off).
struct Note {
    std::uint8_t channel;
    std::uint8_t note;
    std::uint8_t velocity;
};

Note encode(std::uint32_t number) {
    return {static_cast<std::uint8_t>(number % 16), static_cast<std::uint8_t>((number / 16) % 128),
            static_cast<std::uint8_t>(1 + number / 2048)};
}

bool decode(const snd_seq_event_t& event, std::uint32_t& number) {
    if (event.type != SND_SEQ_EVENT_NOTEON || event.data.note.velocity == 0 ||
        event.data.note.channel > 15 || event.data.note.note > 127) {
        return false;
    }
    number = (event.data.note.velocity - 1U) * 2048U + event.data.note.note * 16U +
             event.data.note.channel;
    return true;
}

struct Receiver {
    snd_seq_t* sequencer = nullptr;
    std::vector<std::int64_t> arrivalNs;
    std::vector<std::uint8_t> arrived;
    std::atomic<std::uint32_t> received{0};
    std::atomic<std::uint32_t> outOfOrder{0};
    std::atomic<std::uint32_t> foreign{0};
    std::atomic<std::uint32_t> overruns{0};
    std::atomic<bool> stop{false};
    std::int64_t last = -1;
};

// Reads until told to stop. A read that empties the kernel's queue into the
// library's buffer is stamped once; the events it brought share that stamp.
void receive(Receiver& receiver) {
    const int count = check(snd_seq_poll_descriptors_count(receiver.sequencer, POLLIN),
                            "cannot count the receiver's descriptors");
    std::vector<pollfd> descriptors(static_cast<std::size_t>(count));
    check(snd_seq_poll_descriptors(receiver.sequencer, descriptors.data(),
                                   static_cast<unsigned>(count), POLLIN),
          "cannot get the receiver's descriptors");
    std::int64_t stamp = 0;
    while (!receiver.stop.load(std::memory_order_acquire)) {
        if (snd_seq_event_input_pending(receiver.sequencer, 0) == 0) {
            const int ready = ::poll(descriptors.data(), descriptors.size(), 50);
            if (ready < 0 && errno != EINTR) {
                std::perror("poll");
                std::exit(2);
            }
            if (ready <= 0) {
                continue;
            }
        }
        for (;;) {
            const bool fresh = snd_seq_event_input_pending(receiver.sequencer, 0) == 0;
            snd_seq_event_t* event = nullptr;
            const int result = snd_seq_event_input(receiver.sequencer, &event);
            if (result == -ENOSPC) {
                receiver.overruns.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            if (result == -EAGAIN || result == -EINTR) {
                break;
            }
            check(result, "cannot read an event");
            if (fresh) {
                stamp = monotonicNs();
            }
            std::uint32_t number = 0;
            if (event == nullptr || !decode(*event, number) || number >= receiver.arrived.size() ||
                receiver.arrived[number] != 0) {
                // The kernel tells a port it was subscribed; that is no message.
                if (event == nullptr || !snd_seq_ev_is_subscribe_type(event)) {
                    receiver.foreign.fetch_add(1, std::memory_order_relaxed);
                }
            } else {
                if (static_cast<std::int64_t>(number) < receiver.last) {
                    receiver.outOfOrder.fetch_add(1, std::memory_order_relaxed);
                }
                receiver.last = number;
                receiver.arrived[number] = 1;
                receiver.arrivalNs[number] = stamp;
                receiver.received.fetch_add(1, std::memory_order_release);
            }
            if (snd_seq_event_input_pending(receiver.sequencer, 0) == 0) {
                break;
            }
        }
    }
}

snd_seq_addr_t parseAddress(snd_seq_t* sequencer, const std::string& text) {
    snd_seq_addr_t address{};
    const int result = snd_seq_parse_address(sequencer, &address, text.c_str());
    if (result < 0) {
        std::fprintf(stderr, "no sequencer port %s: %s\n", text.c_str(), snd_strerror(result));
        std::exit(2);
    }
    return address;
}

void subscribe(snd_seq_t* sequencer, snd_seq_addr_t from, snd_seq_addr_t to) {
    snd_seq_port_subscribe_t* subscription = nullptr;
    snd_seq_port_subscribe_alloca(&subscription);
    snd_seq_port_subscribe_set_sender(subscription, &from);
    snd_seq_port_subscribe_set_dest(subscription, &to);
    check(snd_seq_subscribe_port(sequencer, subscription), "cannot subscribe the ports");
}

std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525U + 1013904223U;
    return state >> 8;
}

int runChain(const std::string& label, const std::string& relayIn, const std::string& relayOut,
             std::uint32_t count, std::uint32_t gapUs) {
    if (count == 0 || count > kMaxCount) {
        std::fprintf(stderr, "COUNT must be 1 to %u\n", kMaxCount);
        return 2;
    }
    const std::string prefix = "kfb-" + std::to_string(::getpid());
    Sequencer sender = openClient(prefix + "-send", SND_SEQ_OPEN_OUTPUT);
    Sequencer receiverClient = openClient(prefix + "-recv", SND_SEQ_OPEN_INPUT);
    const int senderPort =
        createPort(sender.get(), "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                   "cannot create the sender's port");
    const int receiverPort =
        createPort(receiverClient.get(), "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                   "cannot create the receiver's port");
    check(snd_seq_set_client_pool_input(receiverClient.get(), kInputPoolEvents),
          "cannot size the receiver's input pool");
    check(snd_seq_set_input_buffer_size(receiverClient.get(),
                                        kInputPoolEvents * sizeof(snd_seq_event_t)),
          "cannot size the receiver's input buffer");

    const snd_seq_addr_t senderAddress{
        static_cast<unsigned char>(check(snd_seq_client_id(sender.get()), "no sender id")),
        static_cast<unsigned char>(senderPort)};
    const snd_seq_addr_t receiverAddress{
        static_cast<unsigned char>(
            check(snd_seq_client_id(receiverClient.get()), "no receiver id")),
        static_cast<unsigned char>(receiverPort)};
    if (relayIn == "-") {
        subscribe(sender.get(), senderAddress, receiverAddress);
    } else {
        subscribe(sender.get(), senderAddress, parseAddress(sender.get(), relayIn));
        subscribe(sender.get(), parseAddress(sender.get(), relayOut), receiverAddress);
    }

    Receiver receiver;
    receiver.sequencer = receiverClient.get();
    receiver.arrivalNs.assign(count, 0);
    receiver.arrived.assign(count, 0);
    std::thread reader([&receiver] { receive(receiver); });

    std::vector<std::int64_t> sendNs(count, 0);
    std::uint32_t refused = 0;
    std::uint32_t rngState = 12345;
    const std::int64_t started = monotonicNs();
    std::int64_t due = started;
    std::uint32_t sent = 0;
    for (; sent < count && !stopRequested.load(); ++sent) {
        if (gapUs > 0) {
            due += (gapUs / 2 + nextRandom(rngState) % (gapUs + 1)) * 1000LL;
            const timespec wake{static_cast<time_t>(due / 1000000000LL),
                                static_cast<long>(due % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            }
        }
        const Note note = encode(sent);
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, static_cast<unsigned char>(senderPort));
        snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_noteon(&event, note.channel, note.note, note.velocity);
        sendNs[sent] = monotonicNs();
        // A destination whose queue is full refuses the event (and loses what
        // it held): counted, not retried, so the loss shows.
        if (snd_seq_event_output_direct(sender.get(), &event) < 0) {
            ++refused;
        }
    }
    const std::int64_t sendingEnded = monotonicNs();

    // Done when all arrived, or nothing more came for two seconds.
    auto lastProgress = Clock::now();
    std::uint32_t seen = receiver.received.load(std::memory_order_acquire);
    while (!stopRequested.load() && seen < count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::uint32_t now = receiver.received.load(std::memory_order_acquire);
        if (now != seen) {
            seen = now;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > std::chrono::seconds(2)) {
            break;
        }
    }
    receiver.stop.store(true, std::memory_order_release);
    reader.join();

    std::vector<double> latencies;
    latencies.reserve(count);
    std::int64_t lastArrival = started;
    for (std::uint32_t i = 0; i < sent; ++i) {
        if (receiver.arrived[i] == 0) {
            continue;
        }
        latencies.push_back(static_cast<double>(receiver.arrivalNs[i] - sendNs[i]) / 1e6);
        lastArrival = std::max(lastArrival, receiver.arrivalNs[i]);
    }
    const std::uint32_t received = receiver.received.load();
    const keyflip::bench::LatencySummary summary = keyflip::bench::summarize(std::move(latencies));
    const double seconds = static_cast<double>(lastArrival - sendNs[0]) / 1e9;
    const double sendSeconds = static_cast<double>(sendingEnded - started) / 1e9;
    std::printf(
        "result label=%s count=%u sent=%u refused=%u received=%u lost=%u out_of_order=%u "
        "foreign=%u overruns=%u min_ms=%.3f avg_ms=%.3f p50_ms=%.3f p99_ms=%.3f p999_ms=%.3f "
        "max_ms=%.3f jitter_ms=%.3f send_seconds=%.3f seconds=%.3f rate_per_s=%.0f\n",
        label.c_str(), count, sent, refused, received, count - received, receiver.outOfOrder.load(),
        receiver.foreign.load(), receiver.overruns.load(), summary.min, summary.average,
        summary.quantile(0.5), summary.quantile(0.99), summary.quantile(0.999), summary.max,
        summary.deviation, sendSeconds, seconds, seconds > 0 ? received / seconds : 0.0);
    std::fflush(stdout);
    return 0;
}

// Passes every Note On on until told to stop.
int runRelay(const std::string& name) {
    // Without SA_RESTART, so that the waiting read returns on the signal.
    struct sigaction onStop {};
    onStop.sa_handler = onStopSignal;
    sigaction(SIGTERM, &onStop, nullptr);
    sigaction(SIGINT, &onStop, nullptr);
    Sequencer relay = openClient(name, SND_SEQ_OPEN_DUPLEX);
    createPort(relay.get(), "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
               "cannot create the relay's input port");
    const int out =
        createPort(relay.get(), "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                   "cannot create the relay's output port");
    check(snd_seq_set_client_pool_input(relay.get(), kInputPoolEvents),
          "cannot size the relay's input pool");
    std::printf("ready\n");
    std::fflush(stdout);
    std::uint32_t overruns = 0;
    std::uint32_t refused = 0;
    while (!stopRequested.load()) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(relay.get(), &event);
        if (result == -EINTR || result == -EAGAIN) {
            continue;
        }
        if (result == -ENOSPC) {
            ++overruns;
            continue;
        }
        check(result, "cannot read an event");
        if (event == nullptr || event->type != SND_SEQ_EVENT_NOTEON) {
            continue;
        }
        snd_seq_ev_set_source(event, static_cast<unsigned char>(out));
        snd_seq_ev_set_subs(event);
        snd_seq_ev_set_direct(event);
        if (snd_seq_event_output_direct(relay.get(), event) < 0) {
            ++refused;
        }
    }
    // Only a lost or refused event would make the floor's figures wrong.
    std::printf("relay overruns=%u refused=%u\n", overruns, refused);
    return overruns == 0 && refused == 0 ? 0 : 1;
}

// The best of five rounds, so that a round the host interrupted does not count.
int runSyscalls() {
    constexpr int kCalls = 2000;
    double plainUs = 1e9;
    double clockUs = 1e9;
    for (int round = 0; round < 5; ++round) {
        const std::int64_t start = monotonicNs();
        for (int i = 0; i < kCalls; ++i) {
            static_cast<void>(::getppid());
        }
        const std::int64_t plainEnd = monotonicNs();
        for (int i = 0; i < kCalls; ++i) {
            static_cast<void>(monotonicNs());
        }
        const std::int64_t clockEnd = monotonicNs();
        plainUs = std::min(plainUs, static_cast<double>(plainEnd - start) / 1e3 / kCalls);
        clockUs = std::min(clockUs, static_cast<double>(clockEnd - plainEnd) / 1e3 / kCalls);
    }
    std::printf("syscalls label=alsa-vm syscall_us=%.2f clock_read_us=%.2f\n", plainUs, clockUs);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "chain" && argc == 7) {
        return runChain(argv[2], argv[3], argv[4],
                        static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10)),
                        static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10)));
    }
    if (mode == "relay" && argc == 3) {
        return runRelay(argv[2]);
    }
    if (mode == "syscalls" && argc == 2) {
        return runSyscalls();
    }
    std::fprintf(stderr,
                 "usage: keyflip_bench_alsa_clients chain LABEL RELAY_IN|- RELAY_OUT|- COUNT "
                 "GAP_US\n"
                 "       keyflip_bench_alsa_clients relay NAME\n"
                 "       keyflip_bench_alsa_clients syscalls\n");
    return 2;
}
