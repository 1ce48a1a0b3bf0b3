#include "termination_signals.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

namespace keyflip {

namespace {

// A signal handler can reach nothing but a global; it only writes one byte
// to this socket, which is async-signal-safe.
std::atomic<int> signalWriteFd{-1};

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void onTerminationSignal(int) {
    const int fd = signalWriteFd.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
    }
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) {
        throw std::runtime_error("cannot create the termination signal socket");
    }
    signalWriteFd.store(fds_[0]);
    notifier_ = new QSocketNotifier(fds_[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::onReadable);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kHandledSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}

TerminationSignals::~TerminationSignals() {
    for (const int signal : kHandledSignals) {
        std::signal(signal, SIG_DFL);
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
