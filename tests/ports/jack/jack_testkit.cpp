#include "jack_testkit.h"

#include <fcntl.h>
#include <jack/midiport.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace keyflip::jacktest {

namespace {

std::string findInPath(const std::string& name) {
    // A path is taken as it is.
    if (name.find('/') != std::string::npos) {
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    std::stringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// Whether a thread of this process may take SCHED_FIFO, as jackd -R needs.
bool realtimeSchedulingWorks() {
    bool works = false;
    std::thread probe([&works] {
        sched_param param{};
        param.sched_priority = 10;
        works = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    });
    probe.join();
    return works;
}

#if defined(KEYFLIP_UNDER_THREAD_SANITIZER)
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

// A peer's traffic through a JACK port buffer is ordered by libjack's graph
// activation, which ThreadSanitizer cannot see, so it would take every byte
// the program reads or writes there for a race. Each such report stalls the
// real-time thread that found it while it is matched against the
// suppressions (seconds, the first time in a process), long enough to overrun
// the server and fail the run. The peers' own buffer accesses are therefore
// left unrecorded; the program's threads stay fully checked.
class UnseenByThreadSanitizer {
public:
    UnseenByThreadSanitizer() noexcept {
#if defined(KEYFLIP_UNDER_THREAD_SANITIZER)
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    }
    ~UnseenByThreadSanitizer() {
#if defined(KEYFLIP_UNDER_THREAD_SANITIZER)
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
    }
    UnseenByThreadSanitizer(const UnseenByThreadSanitizer&) = delete;
    UnseenByThreadSanitizer& operator=(const UnseenByThreadSanitizer&) = delete;
};

// Counts a process callback as finished once it returns, in whatever way.
class CountedCallback {
public:
    explicit CountedCallback(std::atomic<std::uint64_t>& done) noexcept : done_(done) {}
    ~CountedCallback() { done_.fetch_add(1, std::memory_order_acq_rel); }
    CountedCallback(const CountedCallback&) = delete;
    CountedCallback& operator=(const CountedCallback&) = delete;

private:
    std::atomic<std::uint64_t>& done_;
};

bool clientCanOpen() {
    jack_status_t status{};
    jack_client_t* client = jack_client_open("keyflip-probe", JackNoStartServer, &status);
    if (client == nullptr) {
        return false;
    }
    jack_client_close(client);
    return true;
}

}  // namespace

bool programInPath(const std::string& name) {
    return !findInPath(name).empty();
}

bool pollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit,
               std::chrono::microseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath) {
    const std::string program = findInPath(argv.at(0));
    if (program.empty()) {
        return;
    }
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed in a threaded process.
    std::vector<char*> arguments;
    for (const auto& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid == 0) {
        // A test killed by its timeout must not leave a server behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int output = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output >= 0) {
            ::dup2(output, STDOUT_FILENO);
            ::dup2(output, STDERR_FILENO);
            ::close(output);
        }
        ::execv(program.c_str(), arguments.data());
        ::_exit(127);
    }
    pid_ = pid;
}

ChildProcess::~ChildProcess() {
    stop(SIGTERM);
}

bool ChildProcess::hasEnded() {
    if (pid_ <= 0) {
        return true;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
    }
    return false;
}

void ChildProcess::stop(int signal, std::chrono::milliseconds limit) {
    if (hasEnded()) {
        return;
    }
    ::kill(pid_, signal);
    if (!pollUntil([this] { return hasEnded(); }, limit)) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

namespace {

// A folder only this user can write: the runtime folder, or one of the
// user's own in /tmp.
std::filesystem::path privateLockFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        if (std::filesystem::is_directory(runtime)) {
            return runtime;
        }
    }
    const std::filesystem::path folder = "/tmp/keyflip-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid()) {
        return {};
    }
    return folder;
}

constexpr int kNameSlots = 6;

// The first free slot's name, with its lock held in lock; a name of this
// process's own when no slot can be had.
std::string claimServerName(int& lock) {
    const std::filesystem::path folder = privateLockFolder();
    for (int slot = 0; !folder.empty() && slot < kNameSlots; ++slot) {
        const std::string name = "keyflip-test-" + std::to_string(slot);
        const int fd = ::open((folder / (name + ".lock")).c_str(),
                              O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            lock = fd;
            return name;
        }
        ::close(fd);
    }
    return "keyflip-test-" + std::to_string(::getpid());
}

}  // namespace

JackServer::JackServer(std::uint32_t periodFrames)
    : name_(claimServerName(slotLock_)),
      periodFrames_(periodFrames),
      logPath_((std::filesystem::temp_directory_path() / (name_ + ".log")).string()) {
}

JackServer::~JackServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove(logPath_, ignored);
    if (slotLock_ >= 0) {
        ::close(slotLock_);
    }
}

bool JackServer::start(std::chrono::milliseconds limit) {
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    if (realtimeSchedulingWorks() && launch(true, limit)) {
        return true;
    }
    return launch(false, limit);
}

bool JackServer::launch(bool realtime, std::chrono::milliseconds limit) {
    stop();
    realtime_ = realtime;
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"jackd", "-n", name_, realtime ? "-R" : "--no-realtime", "-d",
                                 "dummy", "-r", std::to_string(kSampleRate), "-p",
                                 std::to_string(periodFrames_)},
        logPath_);
    if (!process_->started()) {
        process_.reset();
        return false;
    }
    // Trying to open a client before the server listens fills the log with
    // libjack's complaints, so wait for its socket first, for a while.
    const std::string socket = "/dev/shm/jack_" + name_ + "_" + std::to_string(::getuid()) + "_0";
    const auto started = std::chrono::steady_clock::now();
    bool ended = false;
    const bool ready = pollUntil(
        [&] {
            if (process_->hasEnded()) {
                ended = true;
                return true;
            }
            struct stat info {};
            const bool listening = ::stat(socket.c_str(), &info) == 0 ||
                                   std::chrono::steady_clock::now() - started > limit / 2;
            return listening && clientCanOpen();
        },
        limit, std::chrono::milliseconds{10});
    if (!ready || ended) {
        stop(SIGKILL);
        return false;
    }
    return true;
}

void JackServer::signal(int number) const {
    if (process_ != nullptr) {
        ::kill(process_->pid(), number);
    }
}

void JackServer::stop(int signal) {
    if (process_ == nullptr) {
        return;
    }
    process_->stop(signal);
    process_.reset();
    // A killed server leaves its socket and its clients' semaphores behind;
    // the name is ours alone, so whatever carries it can go.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with("jack_" + name_ + "_") ||
            (file.starts_with("jack_sem.") && file.find("_" + name_ + "_") != std::string::npos)) {
            std::filesystem::remove(entry.path(), error);
        }
    }
}

std::string JackServer::log() const {
    std::ifstream file(logPath_);
    std::stringstream text;
    text << file.rdbuf();
    if (text.str().find("Too many servers already active") != std::string::npos) {
        text << "\nJACK's registry (/dev/shm/jack-shm-registry) holds eight servers, and one that "
                "was killed keeps its place until a server of its name starts again. If no JACK "
                "server of yours is running, remove the file and run the tests again.\n";
    }
    return text.str();
}

JackClient::JackClient(const std::string& name) {
    // While another server of this user starts or stops (another test
    // program, another checkout's tests), JACK's shared registry is busy and
    // an open now and then fails; a taken name fails for good.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        client_ = jack_client_open(
            name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
            &status_);
        if (client_ != nullptr || (status_ & JackNameNotUnique) != 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{100});
    }
    if (client_ == nullptr) {
        return;
    }
    jack_set_xrun_callback(
        client_,
        [](void* counter) {
            static_cast<std::atomic<std::uint64_t>*>(counter)->fetch_add(1,
                                                                         std::memory_order_relaxed);
            return 0;
        },
        &xruns_);
    jack_on_info_shutdown(
        client_,
        [](jack_status_t, const char*, void* gone) {
            static_cast<std::atomic<bool>*>(gone)->store(true, std::memory_order_release);
        },
        &serverGone_);
}

JackClient::~JackClient() {
    close();
}

void JackClient::close() {
    if (client_ != nullptr) {
        jack_deactivate(client_);
        jack_client_close(client_);
        client_ = nullptr;
    }
}

namespace {

// Takes the port away from the process callback, which counts the callbacks
// it finished in done, waits until one finished without it, and registers it
// again under the same short name and flags.
bool remakeOwnPort(jack_client_t* client, std::atomic<jack_port_t*>& port,
                   const std::atomic<std::uint64_t>& done, unsigned long flags) {
    jack_port_t* old = port.exchange(nullptr, std::memory_order_acq_rel);
    if (client == nullptr || old == nullptr) {
        return false;
    }
    const std::string shortName = jack_port_short_name(old);
    const std::uint64_t before = done.load(std::memory_order_acquire);
    if (!pollUntil([&] { return done.load(std::memory_order_acquire) >= before + 2; },
                   std::chrono::milliseconds{5000}) ||
        jack_port_unregister(client, old) != 0) {
        return false;
    }
    jack_port_t* again =
        jack_port_register(client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
    port.store(again, std::memory_order_release);
    return again != nullptr;
}

}  // namespace

struct MidiSender::Batch {
    std::vector<std::uint8_t> bytes;  // all events back to back
    std::vector<std::size_t> ends;    // where each event ends in bytes
    std::size_t perPeriod = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> periods{0};
};

MidiSender::MidiSender(const std::string& clientName) : client_(clientName) {
    if (!client_.ok()) {
        return;
    }
    jack_port_t* port =
        jack_port_register(client_.get(), "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    port_.store(port, std::memory_order_release);
    handle_.store(client_.get(), std::memory_order_release);
    ok_ = port != nullptr &&
          jack_set_process_callback(client_.get(), &MidiSender::onProcess, this) == 0 &&
          jack_activate(client_.get()) == 0;
}

MidiSender::~MidiSender() {
    client_.close();
}

std::string MidiSender::portName() const {
    jack_port_t* port = port_.load(std::memory_order_acquire);
    return port != nullptr ? jack_port_name(port) : std::string{};
}

bool MidiSender::renamePort(const std::string& newName) {
    jack_port_t* port = port_.load(std::memory_order_acquire);
    return port != nullptr && jack_port_rename(client_.get(), port, newName.c_str()) == 0;
}

bool MidiSender::remakePort() {
    return remakeOwnPort(client_.get(), port_, callbacksDone_, JackPortIsOutput);
}

void MidiSender::send(const std::vector<WireMessage>& messages, std::size_t perPeriod) {
    auto batch = std::make_unique<Batch>();
    batch->perPeriod = perPeriod;
    batch->bytes.reserve(messages.size() * 3);
    batch->ends.reserve(messages.size());
    for (const auto& message : messages) {
        const auto bytes = message.view();
        batch->bytes.insert(batch->bytes.end(), bytes.begin(), bytes.end());
        batch->ends.push_back(batch->bytes.size());
    }
    start(std::move(batch));
}

void MidiSender::sendRaw(const std::vector<std::vector<std::uint8_t>>& events,
                         std::size_t perPeriod) {
    auto batch = std::make_unique<Batch>();
    batch->perPeriod = perPeriod;
    for (const auto& event : events) {
        batch->bytes.insert(batch->bytes.end(), event.begin(), event.end());
        batch->ends.push_back(batch->bytes.size());
    }
    start(std::move(batch));
}

void MidiSender::start(std::unique_ptr<Batch> batch) {
    current_.store(batch.get(), std::memory_order_release);
    batches_.push_back(std::move(batch));
}

std::size_t MidiSender::sentCount() const {
    const Batch* batch = current_.load(std::memory_order_acquire);
    return batch != nullptr ? batch->next.load(std::memory_order_acquire) : 0;
}

std::size_t MidiSender::batchSize() const {
    const Batch* batch = current_.load(std::memory_order_acquire);
    return batch != nullptr ? batch->ends.size() : 0;
}

std::uint64_t MidiSender::periodsUsed() const {
    const Batch* batch = current_.load(std::memory_order_acquire);
    return batch != nullptr ? batch->periods.load(std::memory_order_relaxed) : 0;
}

int MidiSender::onProcess(jack_nframes_t frames, void* self) {
    static_cast<MidiSender*>(self)->process(frames);
    return 0;
}

void MidiSender::process(jack_nframes_t frames) noexcept {
    const CountedCallback counted(callbacksDone_);
    jack_port_t* port = port_.load(std::memory_order_acquire);
    if (port == nullptr) {
        return;
    }
    void* buffer = jack_port_get_buffer(port, frames);
    const UnseenByThreadSanitizer unseen;
    jack_midi_clear_buffer(buffer);
    Batch* batch = current_.load(std::memory_order_acquire);
    if (batch == nullptr) {
        return;
    }
    std::size_t next = batch->next.load(std::memory_order_relaxed);
    const std::size_t total = batch->ends.size();
    const std::size_t limit = batch->perPeriod == kAsFastAsThePortTakes
                                  ? total
                                  : std::min(total, next + batch->perPeriod);
    const std::size_t planned = limit - next;
    std::size_t written = 0;
    while (next < limit) {
        const std::size_t begin = next == 0 ? 0 : batch->ends[next - 1];
        const std::size_t size = batch->ends[next] - begin;
        const auto offset = batch->perPeriod == kAsFastAsThePortTakes
                                ? jack_nframes_t{0}
                                : static_cast<jack_nframes_t>(written * frames / planned);
        // Checking the room first keeps JACK from counting a refused event as lost.
        if (jack_midi_max_event_size(buffer) < size ||
            jack_midi_event_write(buffer, offset, &batch->bytes[begin], size) != 0) {
            break;
        }
        ++next;
        ++written;
    }
    if (written > 0) {
        batch->periods.fetch_add(1, std::memory_order_relaxed);
    }
    batch->next.store(next, std::memory_order_release);
}

WireMessage ReceivedEvent::message() const {
    WireMessage message;
    if (size <= bytes.size()) {
        message.size = static_cast<std::uint8_t>(size);
        std::copy_n(bytes.begin(), size, message.bytes.begin());
    }
    return message;
}

MidiReceiver::MidiReceiver(const std::string& clientName, std::size_t capacity)
    : capacity_(capacity),
      events_(std::make_unique<ReceivedEvent[]>(capacity)),
      client_(clientName) {
    if (!client_.ok()) {
        return;
    }
    jack_port_t* port =
        jack_port_register(client_.get(), "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    port_.store(port, std::memory_order_release);
    handle_.store(client_.get(), std::memory_order_release);
    ok_ = port != nullptr &&
          jack_set_process_callback(client_.get(), &MidiReceiver::onProcess, this) == 0 &&
          jack_activate(client_.get()) == 0;
}

MidiReceiver::~MidiReceiver() {
    client_.close();
}

std::string MidiReceiver::portName() const {
    jack_port_t* port = port_.load(std::memory_order_acquire);
    return port != nullptr ? jack_port_name(port) : std::string{};
}

bool MidiReceiver::renamePort(const std::string& newName) {
    jack_port_t* port = port_.load(std::memory_order_acquire);
    return port != nullptr && jack_port_rename(client_.get(), port, newName.c_str()) == 0;
}

bool MidiReceiver::remakePort() {
    return remakeOwnPort(client_.get(), port_, callbacksDone_, JackPortIsInput);
}

std::vector<ReceivedEvent> MidiReceiver::events() const {
    const std::size_t n = count();
    return {events_.get(), events_.get() + n};
}

std::vector<WireMessage> MidiReceiver::messages() const {
    std::vector<WireMessage> result;
    const std::size_t n = count();
    result.reserve(n);
    for (std::size_t index = 0; index < n; ++index) {
        result.push_back(events_[index].message());
    }
    return result;
}

int MidiReceiver::onProcess(jack_nframes_t frames, void* self) {
    static_cast<MidiReceiver*>(self)->process(frames);
    return 0;
}

void MidiReceiver::process(jack_nframes_t frames) noexcept {
    const CountedCallback counted(callbacksDone_);
    jack_port_t* port = port_.load(std::memory_order_acquire);
    if (port == nullptr) {
        return;
    }
    void* buffer = jack_port_get_buffer(port, frames);
    const std::uint64_t period = periods_.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t periodStart = jack_last_frame_time(handle_.load(std::memory_order_acquire));
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    std::size_t stored = count_.load(std::memory_order_relaxed);
    for (std::uint32_t index = 0; index < count; ++index) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, index) != 0) {
            continue;
        }
        if (stored == capacity_) {
            overflow_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        ReceivedEvent& received = events_[stored];
        received.frame = periodStart + event.time;
        received.period = period;
        received.size = static_cast<std::uint32_t>(event.size);
        const UnseenByThreadSanitizer unseen;
        std::copy_n(event.buffer, std::min<std::size_t>(event.size, received.bytes.size()),
                    received.bytes.begin());
        ++stored;
    }
    count_.store(stored, std::memory_order_release);
}

std::uint32_t testPeriodFrames() {
    return checks::kUnderSanitizer ? 2048 : 1024;
}

}  // namespace keyflip::jacktest
