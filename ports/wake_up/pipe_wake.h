#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace keyflip {

// The POSIX wake-up (macOS has no eventfd): a pipe, one byte a wake-up. A
// full pipe only means wake-ups are already pending.
class PipeWake {
public:
    // failure: what the user reads when the pipe cannot be made.
    explicit PipeWake(const char* failure) {
        // pipe2 is not everywhere, so the flags are set one by one.
        if (::pipe(fds_) != 0) {
            throw std::system_error(errno, std::generic_category(), failure);
        }
        for (const int fd : fds_) {
            if (::fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
                const int error = errno;
                closeBoth();
                throw std::system_error(error, std::generic_category(), failure);
            }
        }
    }
    ~PipeWake() { closeBoth(); }
    PipeWake(const PipeWake&) = delete;
    PipeWake& operator=(const PipeWake&) = delete;

    std::intptr_t fd() const { return fds_[0]; }
    void signal() noexcept {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(fds_[1], &byte, 1);
    }
    // Takes every byte, so a watcher that is told while bytes remain is not
    // woken again for the ones already handled.
    void acknowledge() noexcept {
        char bytes[64];
        while (::read(fds_[0], bytes, sizeof bytes) > 0) {
        }
    }

private:
    void closeBoth() noexcept {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }

    int fds_[2] = {-1, -1};
};

}  // namespace keyflip
