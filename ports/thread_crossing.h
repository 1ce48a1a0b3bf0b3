#pragma once

#include "wake_descriptor.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace keyflip {

// The one way a MIDI system's thread reaches the UI thread. That thread
// raises flags that say what happened, or only wakes; nothing it calls
// blocks, allocates or touches Qt. On the UI thread the handler runs from the
// event loop, takes the wake-up and the flags, and does the rest there.
class ThreadCrossing {
public:
    // failure: what the user reads when the crossing cannot be made.
    explicit ThreadCrossing(const char* failure);
    ~ThreadCrossing();
    ThreadCrossing(const ThreadCrossing&) = delete;
    ThreadCrossing& operator=(const ThreadCrossing&) = delete;

    // Any thread.
    void wake() noexcept { descriptor_.signal(); }
    void raise(std::uint32_t flags) noexcept {
        flags_.fetch_or(flags, std::memory_order_acq_rel);
        wake();
    }
    bool isRaised(std::uint32_t flag) const noexcept {
        return (flags_.load(std::memory_order_acquire) & flag) != 0;
    }

    // UI thread. The handler runs on every wake-up until it is replaced; an
    // empty one stops watching.
    void setHandler(std::function<void()> handler);
    // Takes the wake-up; one that comes after this runs the handler again.
    void acknowledge() noexcept { descriptor_.acknowledge(); }
    // Clears the flag; true when it was raised.
    bool takeFlag(std::uint32_t flag) noexcept {
        return (flags_.fetch_and(~flag, std::memory_order_acq_rel) & flag) != 0;
    }
    void clearFlags() noexcept { flags_.store(0, std::memory_order_release); }

private:
    WakeDescriptor descriptor_;
    std::atomic<std::uint32_t> flags_{0};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace keyflip
