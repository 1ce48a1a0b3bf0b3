#pragma once

// Whether JACK's process callback is running and how many have run, so the
// UI thread can rely on a value it swapped and know when a cycle is over.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace keyflip::jack {

// Short against a 5 ms period, long enough not to busy-wait.
inline constexpr std::chrono::microseconds kPollStep{250};
// How long the UI thread waits for a process callback to end. A callback
// takes microseconds; one still "running" after this was ended by libjack
// inside the callback (a client the server dropped), and nothing would ever
// end the wait.
inline constexpr std::chrono::milliseconds kProcessWaitLimit{1000};

// Every wait on another thread is bounded; true when done came about, false
// once stop holds or the deadline has passed first.
template <typename Done, typename Stop>
bool waitUntil(const Done& done, const Stop& stop, std::chrono::steady_clock::time_point deadline) {
    while (!done()) {
        if (stop() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

template <typename Done>
bool waitUntil(const Done& done, std::chrono::milliseconds limit) {
    return waitUntil(
        done, [] { return false; }, std::chrono::steady_clock::now() + limit);
}

class ProcessGate {
public:
    // Process thread, first and last in every callback.
    void enter() noexcept { inProcess_.store(true, std::memory_order_seq_cst); }
    void leave() noexcept {
        cycles_.fetch_add(1, std::memory_order_release);
        inProcess_.store(false, std::memory_order_release);
    }

    // UI thread. Lets a pointer swapped with seq_cst be relied on: a callback
    // that began before the swap has finished, and any later one sees the
    // new value.
    void waitOutside() const {
        waitUntil([this] { return !inProcess_.load(std::memory_order_seq_cst); },
                  kProcessWaitLimit);
    }
    // Callbacks that have finished so far.
    std::uint64_t cycles() const noexcept { return cycles_.load(std::memory_order_acquire); }
    // Closing the client ends the process thread, wherever it was: a callback
    // it was in will never leave.
    void clientClosed() noexcept { inProcess_.store(false, std::memory_order_seq_cst); }

private:
    std::atomic<bool> inProcess_{false};
    std::atomic<std::uint64_t> cycles_{0};
};

}  // namespace keyflip::jack
