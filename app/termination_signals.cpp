#include "termination_signals.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace keyflip {

namespace {

// A signal handler can reach nothing but globals; it only writes one byte to
// this socket, which is async-signal-safe.
std::atomic<int> signalWriteFd{-1};
// Signals received so far: the first asks the program to end cleanly, a
// second (the program is stuck, or the user insists) ends it at once.
std::atomic<int> signalsReceived{0};

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void onTerminationSignal(int signal) {
    const int savedErrno = errno;
    if (signalsReceived.fetch_add(1) > 0) {
        // Blocked while this handler runs, so it arrives as it returns, and
        // the default action ends the program with the signal's own status.
        struct sigaction byDefault = {};
        byDefault.sa_handler = SIG_DFL;
        sigemptyset(&byDefault.sa_mask);
        ::sigaction(signal, &byDefault, nullptr);
        ::raise(signal);
    } else if (const int fd = signalWriteFd.load(); fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
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
    signalsReceived.store(0);
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
