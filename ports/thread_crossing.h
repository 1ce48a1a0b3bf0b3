#pragma once

#include "wake_descriptor.h"

#include <QObject>
#include <QSocketNotifier>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace keyflip {

// The one way a MIDI system's thread reaches the UI thread. That thread
// raises flags that say what happened, or only wakes; nothing it calls
// blocks, allocates or touches Qt. On the UI thread the handler runs from the
// event loop, takes the wake-up and the flags, and does the rest there.
// Wake is the system's wake-up (wake_descriptor.h); the tests run each.
template <typename Wake>
class BasicThreadCrossing {
public:
    // failure: what the user reads when the crossing cannot be made.
    explicit BasicThreadCrossing(const char* failure) : descriptor_(failure) {}
    BasicThreadCrossing(const BasicThreadCrossing&) = delete;
    BasicThreadCrossing& operator=(const BasicThreadCrossing&) = delete;

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
    void setHandler(std::function<void()> handler) {
        notifier_.reset();
        if (!handler) {
            return;
        }
        notifier_ = std::make_unique<QSocketNotifier>(descriptor_.fd(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                         [handler = std::move(handler)] { handler(); });
    }
    // Takes the wake-up; one that comes after this runs the handler again.
    void acknowledge() noexcept { descriptor_.acknowledge(); }
    // Clears the flag; true when it was raised.
    bool takeFlag(std::uint32_t flag) noexcept {
        return (flags_.fetch_and(~flag, std::memory_order_acq_rel) & flag) != 0;
    }
    void clearFlags() noexcept { flags_.store(0, std::memory_order_release); }

private:
    Wake descriptor_;
    std::atomic<std::uint32_t> flags_{0};
    std::unique_ptr<QSocketNotifier> notifier_;
};

extern template class BasicThreadCrossing<WakeDescriptor>;
using ThreadCrossing = BasicThreadCrossing<WakeDescriptor>;

}  // namespace keyflip
