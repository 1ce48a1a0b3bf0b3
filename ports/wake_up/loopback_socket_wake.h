#pragma once

#include <atomic>
#include <cstdint>

namespace keyflip {

// Windows' wake-up: there QSocketNotifier watches sockets only, so the
// wake-up is a TCP connection to this program itself on the loopback
// interface. A Qt call posted from the MIDI thread would serve too, but would
// lock and allocate there; a socket costs that thread one non-blocking send,
// as the eventfd and the pipe do. Only the first wake-up after an
// acknowledgement sends a byte: bytes that TCP still carries when the
// reader has taken the rest would wake it again for nothing. Written on the
// sockets POSIX and Winsock share, so it is built and tested on Linux too.
class LoopbackSocketWake {
public:
    // failure: what the user reads when the connection cannot be made.
    explicit LoopbackSocketWake(const char* failure);
    ~LoopbackSocketWake();
    LoopbackSocketWake(const LoopbackSocketWake&) = delete;
    LoopbackSocketWake& operator=(const LoopbackSocketWake&) = delete;

    // The end that reads, for QSocketNotifier.
    std::intptr_t fd() const { return reader_; }
    void signal() noexcept;
    // Takes the byte waiting. A wake-up while it is taken counts as taken.
    void acknowledge() noexcept;

private:
    std::intptr_t reader_;
    std::intptr_t writer_;
    std::atomic<bool> pending_{false};
};

}  // namespace keyflip
