#include "termination_signals.h"

#include "midi_backend.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace keyflip {

namespace {

// A signal handler can reach nothing but globals; it only writes one byte to
// this socket, which is async-signal-safe.
std::atomic<int> signalWriteFd{-1};
// When the first signal came (CLOCK_MONOTONIC, nanoseconds), 0 before it. The
// first asks the program to end cleanly.
std::atomic<std::int64_t> firstSignalAt{0};
// A later signal that came while the release was under way, raised again if
// the release is not over in time.
std::atomic<int> waitingSignal{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free,
              "a signal handler may only use lock-free atomics");

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The output's flush waits twice as it closes, and JACK needs a period or two.
static_assert(TerminationSignals::kReleaseTime > 2 * kCloseFlushLimit);
constexpr std::int64_t kReleaseNanoseconds =
    std::chrono::nanoseconds(TerminationSignals::kReleaseTime).count();

std::int64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The default action ends the program with the signal's own status. Raised
// in its own handler, where it is blocked, it arrives as the handler returns.
void endBy(int signal) {
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signal, &byDefault, nullptr);
    ::raise(signal);
}

extern "C" void onReleaseTimeOver(int) {
    const int savedErrno = errno;
    endBy(waitingSignal.load());
    errno = savedErrno;
}

// Ends the program by signal once the release time is over, unless it has
// ended by then.
void waitForTheRelease(int signal, std::int64_t firstAt, std::int64_t now) {
    waitingSignal.store(signal);
    struct sigaction onAlarm = {};
    onAlarm.sa_handler = onReleaseTimeOver;
    sigemptyset(&onAlarm.sa_mask);
    ::sigaction(SIGALRM, &onAlarm, nullptr);
    const std::chrono::nanoseconds left(firstAt + kReleaseNanoseconds - now);
    ::alarm(static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(left).count()));
}

extern "C" void onTerminationSignal(int signal) {
    const int savedErrno = errno;
    const std::int64_t now = monotonicNanoseconds();
    std::int64_t firstAt = 0;
    if (firstSignalAt.compare_exchange_strong(firstAt, now)) {
        if (const int fd = signalWriteFd.load(); fd >= 0) {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
        }
    } else if (now - firstAt < kReleaseNanoseconds) {
        waitForTheRelease(signal, firstAt, now);
    } else {
        endBy(signal);
    }
    errno = savedErrno;
}

// An exit handler takes no argument, so the release waits here.
std::function<void()>& releaseOnExit() {
    static std::function<void()> release;
    return release;
}

extern "C" void runReleaseOnExit() {
    // Taken out first: nothing it calls can run it a second time.
    const std::function<void()> release = std::exchange(releaseOnExit(), nullptr);
    if (release) {
        release();
    }
}

}  // namespace

ReleaseOnExit::ReleaseOnExit(std::function<void()> release) {
    static const bool registered = std::atexit(runReleaseOnExit) == 0;
    if (!registered) {
        throw std::runtime_error("Keyflip cannot register what it must do when it is ended");
    }
    releaseOnExit() = std::move(release);
}

ReleaseOnExit::~ReleaseOnExit() {
    releaseOnExit() = nullptr;
}

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) {
        throw std::system_error(
            errno, std::generic_category(),
            "Keyflip cannot create the socket that receives termination signals");
    }
    firstSignalAt.store(0);
    waitingSignal.store(0);
    ::sigaction(SIGALRM, nullptr, &previousAlarmAction_);
    signalWriteFd.store(fds_[0]);
    notifier_ = new QSocketNotifier(fds_[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::onReadable);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t index = 0; index < std::size(kHandledSignals); ++index) {
        const int signal = kHandledSignals[index];
        struct sigaction& previous = previousActions_[index];
        if (::sigaction(signal, nullptr, &previous) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "Keyflip cannot read how a termination signal is handled");
        }
        // A signal ignored when the program started (nohup) stays ignored.
        installed_[index] = previous.sa_handler != SIG_IGN;
        if (installed_[index] && ::sigaction(signal, &action, nullptr) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "Keyflip cannot install its termination signal handler");
        }
    }
}

TerminationSignals::~TerminationSignals() {
    for (std::size_t index = 0; index < std::size(kHandledSignals); ++index) {
        if (installed_[index]) {
            ::sigaction(kHandledSignals[index], &previousActions_[index], nullptr);
        }
    }
    // The release is over: a signal that waited for it ends nothing now.
    if (waitingSignal.load() != 0) {
        ::alarm(0);
        ::sigaction(SIGALRM, &previousAlarmAction_, nullptr);
    }
    signalWriteFd.store(-1);
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void TerminationSignals::onReadable() {
    char bytes[16];
    while (::read(fds_[1], bytes, sizeof bytes) > 0) {
    }
    emit received();
}

}  // namespace keyflip
