#pragma once

// Tools for tests and benchmarks that need a real JACK server: a private
// server, and small clients that send and record MIDI from their own process
// callbacks. Everything here talks to libjack directly.

#include "message_checks.h"
#include "wire_format.h"

#include <jack/jack.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace keyflip::jacktest {

using checks::CpuKeepAwake;
using checks::departureFromOrder;
using checks::hexBytes;
using checks::mixedMessages;

// True when an executable of this name is on PATH.
bool programInPath(const std::string& name);

// Polls pred every step until it holds or limit has passed; the last answer.
bool pollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit,
               std::chrono::microseconds step = std::chrono::microseconds{500});

// A program started from PATH (or by its path) with stdout and stderr written
// to a file. It is
// ended and reaped when this object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // True once the process has ended (and was reaped).
    bool hasEnded();
    // Sends the signal and waits up to limit for the process to end; a process
    // still there after that is killed outright.
    void stop(int signal = SIGTERM,
              std::chrono::milliseconds limit = std::chrono::milliseconds{3000});

private:
    pid_t pid_ = -1;
};

// A private jackd on the dummy driver (48 kHz, 256 frames a period unless
// told otherwise) under a name of its own, so tests running side by side never
// meet. Starting it sets JACK_DEFAULT_SERVER for this process and the programs
// it starts.
class JackServer {
public:
    static constexpr std::uint32_t kSampleRate = 48000;
    static constexpr std::uint32_t kPeriodFrames = 256;

    // Named "keyflip-test-<k>" after the first of a few slots that no other
    // running test holds (a lock file in the user's runtime folder). JACK
    // keeps a server in its registry of eight until one of the same name
    // starts, even when it was killed; names used again free those entries,
    // where a name of its own per run would fill the registry for good.
    explicit JackServer(std::uint32_t periodFrames = kPeriodFrames);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Starts jackd (real-time when this machine allows it, else without) and
    // waits until a client can open. Can be called again after stop().
    bool start(std::chrono::milliseconds limit = std::chrono::milliseconds{10000});
    // Sends the signal, waits for the server to end and reaps it.
    void stop(int signal = SIGTERM);
    bool running() const { return process_ != nullptr; }
    // Sends the signal and returns: SIGSTOP freezes the server, SIGCONT wakes it.
    void signal(int number) const;

    const std::string& name() const { return name_; }
    std::uint32_t periodFrames() const { return periodFrames_; }
    bool realtime() const { return realtime_; }
    // What the server printed, for failure messages.
    std::string log() const;

private:
    bool launch(bool realtime, std::chrono::milliseconds limit);

    int slotLock_ = -1;  // held while the server's name is ours
    std::string name_;
    std::uint32_t periodFrames_;
    std::string logPath_;
    std::unique_ptr<ChildProcess> process_;
    bool realtime_ = false;
};

// The period of the servers the tests start: long, because no test measures
// latency (the benchmarks do). A real-time thread that wakes a few
// milliseconds late then still makes its deadline, where at 256 frames
// (5.3 ms) the server would report an xrun; under the sanitizers, which make
// every callback several times slower, longer still.
std::uint32_t testPeriodFrames();

// One client of the server named by JACK_DEFAULT_SERVER, with the exact name
// given. It counts the xruns the server reports and is closed on destruction.
//
// After the server died, close a client only once serverWentAway() says so:
// before that, libjack's thread of the client may still be reporting the
// failure, and closing cancels it at once, wherever it is; a libc lock it held
// then stays locked for good.
class JackClient {
public:
    explicit JackClient(const std::string& name);
    ~JackClient();
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    bool ok() const { return client_ != nullptr; }
    // What jack_client_open said, for failure messages.
    jack_status_t openStatus() const { return status_; }
    jack_client_t* get() const { return client_; }
    std::uint64_t xruns() const { return xruns_.load(std::memory_order_relaxed); }
    // True once libjack has told this client that the server is gone.
    bool serverWentAway() const { return serverGone_.load(std::memory_order_acquire); }
    // Deactivates and closes now; the callbacks never run again afterwards.
    void close();

private:
    jack_client_t* client_ = nullptr;
    jack_status_t status_{};
    std::atomic<std::uint64_t> xruns_{0};
    std::atomic<bool> serverGone_{false};
};

// Sends batches of MIDI events from its output port "out".
class MidiSender {
public:
    // perPeriod value that fills each period up to what the port buffer takes
    // and keeps the rest for the next period.
    static constexpr std::size_t kAsFastAsThePortTakes = 0;

    explicit MidiSender(const std::string& clientName);
    ~MidiSender();
    MidiSender(const MidiSender&) = delete;
    MidiSender& operator=(const MidiSender&) = delete;

    bool ok() const { return ok_; }
    std::string portName() const;
    // Renames the port "out", as a program renames a track.
    bool renamePort(const std::string& newName);
    // Unregisters the port and registers it again at once under the same
    // name, as a program restarting its MIDI does. Not while a batch is sent.
    bool remakePort();
    jack_client_t* client() const { return client_.get(); }
    std::uint64_t xruns() const { return client_.xruns(); }
    bool serverWentAway() const { return client_.serverWentAway(); }
    void close() { client_.close(); }

    // Starts sending a batch, at most perPeriod events a period; paced events
    // are spread evenly over the period. A batch still running is replaced.
    void send(const std::vector<WireMessage>& messages,
              std::size_t perPeriod = kAsFastAsThePortTakes);
    // Any bytes, one vector per event (system exclusive included).
    void sendRaw(const std::vector<std::vector<std::uint8_t>>& events,
                 std::size_t perPeriod = kAsFastAsThePortTakes);

    // Progress of the latest batch.
    std::size_t sentCount() const;
    std::size_t batchSize() const;
    bool done() const { return sentCount() == batchSize(); }
    // Periods in which events of the latest batch were written.
    std::uint64_t periodsUsed() const;

private:
    struct Batch;
    static int onProcess(jack_nframes_t frames, void* self);
    void process(jack_nframes_t frames) noexcept;
    void start(std::unique_ptr<Batch> batch);

    std::vector<std::unique_ptr<Batch>> batches_;  // kept while a callback may read them
    std::atomic<Batch*> current_{nullptr};
    std::atomic<jack_port_t*> port_{nullptr};
    std::atomic<std::uint64_t> callbacksDone_{0};
    std::atomic<jack_client_t*> handle_{nullptr};
    bool ok_ = false;
    JackClient client_;  // last, so it closes before anything it reads goes
};

// One event as the receiver saw it.
struct ReceivedEvent {
    std::uint64_t frame = 0;   // jack_last_frame_time of its period + its offset
    std::uint64_t period = 0;  // the receiver's period count when it came
    std::uint32_t size = 0;    // bytes in the event; only three are kept
    std::array<std::uint8_t, 3> bytes{};

    // The event as a short message, or size 0 when it has more than 3 bytes.
    WireMessage message() const;
};

// Records every event reaching its input port "in", with its frame time.
class MidiReceiver {
public:
    MidiReceiver(const std::string& clientName, std::size_t capacity);
    ~MidiReceiver();
    MidiReceiver(const MidiReceiver&) = delete;
    MidiReceiver& operator=(const MidiReceiver&) = delete;

    bool ok() const { return ok_; }
    std::string portName() const;
    bool renamePort(const std::string& newName);
    bool remakePort();
    jack_client_t* client() const { return client_.get(); }
    std::uint64_t xruns() const { return client_.xruns(); }
    bool serverWentAway() const { return client_.serverWentAway(); }
    void close() { client_.close(); }

    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    // Events beyond the capacity, which were not kept.
    std::uint64_t overflow() const { return overflow_.load(std::memory_order_relaxed); }
    std::vector<ReceivedEvent> events() const;
    std::vector<WireMessage> messages() const;

private:
    static int onProcess(jack_nframes_t frames, void* self);
    void process(jack_nframes_t frames) noexcept;

    std::size_t capacity_;
    std::unique_ptr<ReceivedEvent[]> events_;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::uint64_t> overflow_{0};
    std::atomic<std::uint64_t> periods_{0};
    std::atomic<jack_port_t*> port_{nullptr};
    std::atomic<std::uint64_t> callbacksDone_{0};
    std::atomic<jack_client_t*> handle_{nullptr};
    bool ok_ = false;
    JackClient client_;  // last, so it closes before anything it reads goes
};

}  // namespace keyflip::jacktest
