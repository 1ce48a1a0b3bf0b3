#pragma once

#include "page_backed_array.h"
#include "short_message.h"
#include "thread_crossing.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

namespace keyflip {

// The input port's message queue. The MIDI system's thread is the only
// producer and the UI thread the only consumer, so a lock-free ring serves:
// the producer never blocks and never allocates. The producer wakes the
// consumer through a ThreadCrossing; no Qt call is made from the MIDI thread.
class IncomingQueue {
public:
    // Bounded, so a flood cannot grow the program without limit; when full the
    // newest messages are dropped and counted.
    static constexpr std::size_t kCapacity = 65536;

    IncomingQueue();
    ~IncomingQueue();
    IncomingQueue(const IncomingQueue&) = delete;
    IncomingQueue& operator=(const IncomingQueue&) = delete;

    // Producer side. Bytes that are not one short message are ignored.
    bool pushBytes(std::span<const std::uint8_t> bytes) noexcept;
    bool push(const ShortMessage& message) noexcept;
    // Messages the MIDI system lost before they reached the queue; they are
    // reported with the queue's own losses.
    void countLost(std::uint64_t count) noexcept;
    // Wakes the consumer; call once after a batch of pushes.
    void wake() noexcept;
    // True when the consumer has taken everything pushed so far.
    bool drained() const noexcept {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_relaxed);
    }

    // Consumer side.
    // Runs on the UI thread after the producer woke it, until replaced.
    void setWakeHandler(std::function<void()> handler) { wake_.setHandler(std::move(handler)); }
    void acknowledgeWake() noexcept { wake_.acknowledge(); }
    std::size_t size() const noexcept;
    ShortMessage front() const noexcept;  // only when size() > 0
    void pop() noexcept;
    void clear() noexcept;
    // How many messages the consumer has taken or cleared so far.
    std::size_t takenCount() const noexcept { return head_.load(std::memory_order_relaxed); }
    // Messages dropped because the queue was full, since the last call.
    std::uint64_t takeDroppedCount() noexcept;

private:
    struct Slot {
        std::int16_t status;
        std::int16_t data1;
        std::int16_t data2;
    };

    // Whenever the consumer has taken everything, the next message goes into
    // the first slot again (start_ is its count): a queue that is kept up
    // with keeps to its first cache lines. All its pages are resident from
    // the start, so the MIDI thread never faults on them.
    PageBackedArray<Slot> slots_;
    alignas(64) std::atomic<std::size_t> head_{0};  // next to read, consumer-owned
    alignas(64) std::atomic<std::size_t> tail_{0};  // next to write, producer-owned
    std::atomic<std::size_t> start_{0};             // count in the first slot, producer-owned
    alignas(64) std::atomic<std::uint64_t> dropped_{0};
    ThreadCrossing wake_;
};

}  // namespace keyflip
