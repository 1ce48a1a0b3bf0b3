#pragma once

// The frame each incoming message arrived at, written by JACK's process
// thread and read by the UI thread. Neither side blocks or allocates.

#include "incoming_queue.h"
#include "page_backed_array.h"

#include <jack/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>

namespace keyflip::jack {

// The frame at which each message pushed into the input queue arrived, by
// push count, so the answer to the message first in the queue can be sent
// at the same offset one period later. The process thread writes a cycle's
// stamps between beginCycle and endCycle; the UI thread reads them as a
// sequence lock's reader, trying again while a cycle is being written.
class ArrivalStamps {
public:
    ArrivalStamps() : frames_(kCapacity) {}

    // UI thread, while the process callback pushes into no queue: the next
    // push into a queue holding count messages.
    void restartAt(std::size_t count) noexcept {
        pushedCount_.store(count, std::memory_order_seq_cst);
    }

    // Process thread. The stamp is written after its message was pushed, so a
    // full queue never overwrites the stamp of a message still waiting. When
    // the queue has been drained the count starts again at zero, so the
    // stamps, like the queue, keep to their first cache lines. Their pages
    // are resident and locked from the start (PageBackedArray).
    std::size_t beginCycle(const IncomingQueue& queue) noexcept {
        // Odd while pushes and the count may disagree.
        sequence_.fetch_add(1, std::memory_order_seq_cst);
        if (queue.drained()) {
            pushedCount_.store(0, std::memory_order_relaxed);
            return 0;
        }
        return pushedCount_.load(std::memory_order_relaxed);
    }
    void stamp(std::size_t& pushedCount, jack_nframes_t frame) noexcept {
        frames_[pushedCount & kMask] = frame;
        ++pushedCount;
    }
    void endCycle(std::size_t pushedCount) noexcept {
        pushedCount_.store(pushedCount, std::memory_order_seq_cst);
        sequence_.fetch_add(1, std::memory_order_seq_cst);
    }

    // UI thread: when the message first in queue arrived; nothing when the
    // queue is empty or a cycle kept writing throughout.
    std::optional<jack_nframes_t> frontArrival(const IncomingQueue& queue) const noexcept {
        // A push is a few instructions, so a handful of tries always do.
        for (int attempt = 0; attempt < 64; ++attempt) {
            const std::uint64_t before = sequence_.load(std::memory_order_seq_cst);
            if ((before & 1U) != 0) {
                std::this_thread::yield();
                continue;
            }
            const std::size_t waiting = queue.size();
            const std::size_t pushedCount = pushedCount_.load(std::memory_order_seq_cst);
            if (sequence_.load(std::memory_order_seq_cst) != before) {
                continue;
            }
            if (waiting == 0) {
                return std::nullopt;
            }
            return frames_[(pushedCount - waiting) & kMask];
        }
        return std::nullopt;
    }

private:
    static constexpr std::size_t kCapacity = IncomingQueue::kCapacity;
    static constexpr std::size_t kMask = kCapacity - 1;

    PageBackedArray<jack_nframes_t> frames_;
    std::atomic<std::size_t> pushedCount_{0};
    std::atomic<std::uint64_t> sequence_{0};
};

}  // namespace keyflip::jack
