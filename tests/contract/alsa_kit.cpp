// The contract on the ALSA sequencer: sequencer clients of their own on
// libasound as the other programs. The sequencer lives in the kernel, so
// these cases run where /dev/snd/seq exists (tests/alsa-vm/run-in-vm).
#include "alsa_kit.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace keyflip::contract {
namespace {

using namespace std::chrono_literals;

// The pause after each paced burst: long enough for the receiving side to
// catch up on one CPU, short enough for 10,000 events to take a second.
constexpr auto kBurstPause = 2ms;
constexpr int kPoolEvents = 2000;

struct SequencerCloser {
    void operator()(snd_seq_t* sequencer) const { snd_seq_close(sequencer); }
};
using Sequencer = std::unique_ptr<snd_seq_t, SequencerCloser>;

struct CodecFreer {
    void operator()(snd_midi_event_t* codec) const { snd_midi_event_free(codec); }
};
using MidiCodec = std::unique_ptr<snd_midi_event_t, CodecFreer>;

MidiCodec makeCodec(std::size_t bufferSize) {
    snd_midi_event_t* codec = nullptr;
    if (snd_midi_event_new(bufferSize, &codec) < 0) {
        return nullptr;
    }
    snd_midi_event_no_status(codec, 1);
    return MidiCodec(codec);
}

// A client of its own with one port; mode is blocking for senders, so a full
// output pool waits instead of failing.
Sequencer openClient(const std::string& name, int mode, unsigned caps, int& port) {
    snd_seq_t* raw = nullptr;
    if (snd_seq_open(&raw, "default", SND_SEQ_OPEN_DUPLEX, mode) < 0) {
        ADD_FAILURE() << "cannot open the ALSA sequencer for " << name;
        return nullptr;
    }
    Sequencer sequencer(raw);
    port =
        snd_seq_create_simple_port(raw, (caps & SND_SEQ_PORT_CAP_READ) != 0 ? "out" : "in", caps,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (snd_seq_set_client_name(raw, name.c_str()) < 0 || port < 0 ||
        snd_seq_set_client_pool_input(raw, kPoolEvents) < 0 ||
        snd_seq_set_client_pool_output(raw, kPoolEvents) < 0) {
        ADD_FAILURE() << "cannot set up the sequencer client " << name;
        return nullptr;
    }
    return sequencer;
}

// The address of the port named "client:port", any client's.
std::optional<snd_seq_addr_t> addressOf(snd_seq_t* sequencer, const std::string& name) {
    if (sequencer == nullptr) {
        return std::nullopt;
    }
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(sequencer, client) >= 0) {
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(sequencer, port) >= 0) {
            if (std::string(snd_seq_client_info_get_name(client)) + ':' +
                    snd_seq_port_info_get_name(port) ==
                name) {
                return *snd_seq_port_info_get_addr(port);
            }
        }
    }
    return std::nullopt;
}

// Renames the client's port; shortName follows when the sequencer took it.
bool renamePort(snd_seq_t* sequencer, int port, std::string& shortName,
                const std::string& newName) {
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    if (sequencer == nullptr || snd_seq_get_port_info(sequencer, port, info) < 0) {
        return false;
    }
    snd_seq_port_info_set_name(info, newName.c_str());
    if (snd_seq_set_port_info(sequencer, port, info) < 0) {
        return false;
    }
    shortName = newName;
    return true;
}

// Deletes the client's port and makes it again under the name it had; the
// sequencer gives it the lowest free number, the one it had.
bool remakePort(snd_seq_t* sequencer, int& port, const std::string& shortName, unsigned caps) {
    if (sequencer == nullptr || snd_seq_delete_simple_port(sequencer, port) < 0) {
        return false;
    }
    port =
        snd_seq_create_simple_port(sequencer, shortName.c_str(), caps,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    return port >= 0;
}

class AlsaSource final : public PeerSource {
public:
    explicit AlsaSource(const std::string& name)
        : name_(name),
          sequencer_(
              openClient(name, 0, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, port_)) {}
    ~AlsaSource() override {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::string portName() const override { return name_ + ':' + portShortName_; }
    bool renamePort(const std::string& newName) override {
        return contract::renamePort(sequencer_.get(), port_, portShortName_, newName);
    }
    bool remakePort() override {
        return contract::remakePort(sequencer_.get(), port_, portShortName_,
                                    SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    }

    void send(const std::vector<RawEvent>& events, std::size_t perBurst) override {
        ASSERT_FALSE(thread_.joinable()) << "one batch per source";
        ASSERT_NE(sequencer_, nullptr);
        thread_ = std::thread([this, events, perBurst] { sendAll(events, perBurst); });
    }
    std::size_t sentCount() const override { return sent_.load(std::memory_order_acquire); }

private:
    // Each event is encoded on its own, as a program would make it; bytes
    // that are no complete message give no event and are skipped.
    void sendAll(const std::vector<RawEvent>& events, std::size_t perBurst) {
        const MidiCodec encoder = makeCodec(256);
        std::size_t inBurst = 0;
        for (const RawEvent& bytes : events) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            snd_midi_event_reset_encode(encoder.get());
            const long used = snd_midi_event_encode(encoder.get(), bytes.data(),
                                                    static_cast<long>(bytes.size()), &event);
            if (used > 0 && event.type != SND_SEQ_EVENT_NONE) {
                snd_seq_ev_set_source(&event, static_cast<unsigned char>(port_));
                snd_seq_ev_set_subs(&event);
                snd_seq_ev_set_direct(&event);
                if (snd_seq_event_output_direct(sequencer_.get(), &event) < 0) {
                    return;
                }
            }
            sent_.fetch_add(1, std::memory_order_release);
            if (perBurst != 0 && ++inBurst == perBurst) {
                inBurst = 0;
                std::this_thread::sleep_for(kBurstPause);
            }
        }
    }

    std::string name_;
    std::string portShortName_ = "out";
    int port_ = -1;
    Sequencer sequencer_;
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;
};

class AlsaDestination final : public PeerDestination {
public:
    AlsaDestination(const std::string& name, std::size_t capacity)
        : name_(name),
          capacity_(capacity),
          sequencer_(openClient(name, SND_SEQ_NONBLOCK,
                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, port_)),
          stop_(::eventfd(0, EFD_CLOEXEC)) {
        messages_.reserve(capacity);
        if (sequencer_ != nullptr && stop_ >= 0) {
            thread_ = std::thread([this] { receive(); });
        }
    }
    ~AlsaDestination() override {
        const std::uint64_t one = 1;
        if (thread_.joinable() && ::write(stop_, &one, sizeof one) == sizeof one) {
            thread_.join();
        }
        ::close(stop_);
    }

    std::string portName() const override { return name_ + ':' + portShortName_; }
    bool renamePort(const std::string& newName) override {
        return contract::renamePort(sequencer_.get(), port_, portShortName_, newName);
    }
    bool remakePort() override {
        return contract::remakePort(sequencer_.get(), port_, portShortName_,
                                    SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    }
    std::size_t count() const override { return count_.load(std::memory_order_acquire); }
    std::vector<WireMessage> messages() const override {
        const std::lock_guard lock(mutex_);
        return messages_;
    }
    std::uint64_t lost() const override { return lost_.load(std::memory_order_relaxed); }

private:
    void receive() {
        // A synthesizer's MIDI thread runs ahead of ordinary work; without it,
        // on one CPU a sender's burst can fill this client's kernel buffer
        // before the thread gets a turn. Where that is not allowed, it runs
        // as it is.
        sched_param priority{};
        priority.sched_priority = 10;
        [[maybe_unused]] const int refused =
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
        const MidiCodec decoder = makeCodec(256);
        const int count = snd_seq_poll_descriptors_count(sequencer_.get(), POLLIN);
        std::vector<pollfd> descriptors(static_cast<std::size_t>(count) + 1);
        snd_seq_poll_descriptors(sequencer_.get(), descriptors.data(), static_cast<unsigned>(count),
                                 POLLIN);
        descriptors.back() = {stop_, POLLIN, 0};
        while (::poll(descriptors.data(), descriptors.size(), -1) >= 0 || errno == EINTR) {
            if (descriptors.back().revents != 0) {
                return;
            }
            for (;;) {
                snd_seq_event_t* event = nullptr;
                const int result = snd_seq_event_input(sequencer_.get(), &event);
                if (result == -ENOSPC) {
                    lost_.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                if (result < 0 || event == nullptr) {
                    break;
                }
                std::array<unsigned char, 256> bytes{};
                const long size = snd_midi_event_decode(decoder.get(), bytes.data(),
                                                        static_cast<long>(bytes.size()), event);
                if (size <= 0 || size > 3) {
                    continue;
                }
                WireMessage message;
                message.size = static_cast<std::uint8_t>(size);
                std::copy_n(bytes.begin(), size, message.bytes.begin());
                const std::lock_guard lock(mutex_);
                if (messages_.size() == capacity_) {
                    lost_.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                messages_.push_back(message);
                count_.store(messages_.size(), std::memory_order_release);
            }
        }
    }

    std::string name_;
    std::string portShortName_ = "in";
    std::size_t capacity_;
    int port_ = -1;
    Sequencer sequencer_;
    int stop_;
    mutable std::mutex mutex_;
    std::vector<WireMessage> messages_;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::thread thread_;
};

class AlsaKit final : public MidiSystemKit {
public:
    explicit AlsaKit(BackendFactory createBackend) : createBackend_(std::move(createBackend)) {}

    std::string name() const override { return "ALSA"; }

    std::optional<std::string> start() override {
        snd_seq_t* probe = nullptr;
        const int result = snd_seq_open(&probe, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
        if (result < 0) {
            return std::string("no ALSA sequencer here (") + snd_strerror(result) +
                   "); run these tests through tests/alsa-vm/run-in-vm";
        }
        snd_seq_close(probe);
        return std::nullopt;
    }

    // Set by scripts/test for the run inside the test VM.
    bool required() const override { return std::getenv("KEYFLIP_REQUIRE_ALSA") != nullptr; }

    std::unique_ptr<MidiBackend> createBackend() override { return createBackend_(); }

    std::unique_ptr<PeerSource> createSource(const std::string& clientName) override {
        return std::make_unique<AlsaSource>(clientName);
    }

    std::unique_ptr<PeerDestination> createDestination(const std::string& clientName,
                                                       std::size_t capacity) override {
        return std::make_unique<AlsaDestination>(clientName, capacity);
    }

    // Subscribes the ports to each other as aconnect does.
    bool patch(const std::string& from, const std::string& to) override {
        int unused = -1;
        const Sequencer patchbay =
            openClient("contract-patchbay", SND_SEQ_NONBLOCK, SND_SEQ_PORT_CAP_WRITE, unused);
        const auto sender = addressOf(patchbay.get(), from);
        const auto destination = addressOf(patchbay.get(), to);
        if (!sender || !destination) {
            return false;
        }
        snd_seq_port_subscribe_t* subscription = nullptr;
        snd_seq_port_subscribe_alloca(&subscription);
        snd_seq_port_subscribe_set_sender(subscription, &*sender);
        snd_seq_port_subscribe_set_dest(subscription, &*destination);
        return snd_seq_subscribe_port(patchbay.get(), subscription) >= 0;
    }

    // The sequencer has no period to miss.
    std::uint64_t xruns() const override { return 0; }

private:
    BackendFactory createBackend_;
};

}  // namespace

KitFactory alsaKit(std::string name, BackendFactory createBackend) {
    return {std::move(name), [createBackend = std::move(createBackend)] {
                return std::make_unique<AlsaKit>(createBackend);
            }};
}

}  // namespace keyflip::contract
