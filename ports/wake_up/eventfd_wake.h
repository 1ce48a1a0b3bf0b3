#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace keyflip {

// Linux's wake-up: one eventfd, whose counter keeps any number of wake-ups
// as one until they are taken.
class EventFdWake {
public:
    // failure: what the user reads when the descriptor cannot be made.
    explicit EventFdWake(const char* failure) : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), failure);
        }
    }
    ~EventFdWake() { ::close(fd_); }
    EventFdWake(const EventFdWake&) = delete;
    EventFdWake& operator=(const EventFdWake&) = delete;

    std::intptr_t fd() const { return fd_; }
    void signal() noexcept {
        const std::uint64_t one = 1;
        // A full counter only means a wake-up is already pending.
        [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
    }
    void acknowledge() noexcept {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(fd_, &count, sizeof count);
    }

private:
    int fd_;
};

}  // namespace keyflip
