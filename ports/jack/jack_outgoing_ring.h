#pragma once

// The lock-free ring that carries outgoing messages from the UI thread to
// JACK's process thread. One producer and one consumer; neither side blocks
// or allocates.

#include "page_backed_array.h"
#include "wire_format.h"

#include <jack/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace keyflip::jack {

// One outgoing message and the frame it is due at.
struct OutgoingSlot {
    WireMessage message;
    jack_nframes_t due = 0;
};

// Messages on their way from the UI thread to the process callback. 2 MiB of
// 8-byte slots, so a long burst is held rather than refused while JACK takes
// what fits in each period.
class OutgoingRing {
public:
    static constexpr std::size_t kCapacity = std::size_t{1} << 18;
    static_assert(sizeof(OutgoingSlot) == 8);

    OutgoingRing() : slots_(kCapacity) {}

    // Producer side (UI thread).
    bool push(const OutgoingSlot& message) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t head = head_.load(std::memory_order_acquire);
        if (tail - head >= kCapacity) {
            return false;
        }
        if (head == tail) {
            // Published with the tail below; nothing before it is left to read.
            start_.store(tail, std::memory_order_relaxed);
        }
        slots_[slotOf(tail)] = {message.message.bytes, message.message.size, message.due};
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    std::size_t pushedCount() const noexcept { return tail_.load(std::memory_order_relaxed); }
    // Producer side, while the consumer is held off: messages from index on
    // have not been taken yet.
    std::size_t consumedCount() const noexcept { return head_.load(std::memory_order_acquire); }
    WireMessage messageAt(std::size_t index) const noexcept {
        const StoredSlot& stored = slots_[slotOf(index)];
        WireMessage message;
        message.bytes = stored.bytes;
        message.size = stored.size;
        return message;
    }
    bool consumedUpTo(std::size_t count) const noexcept {
        return head_.load(std::memory_order_acquire) >= count;
    }
    // Everything pushed so far is skipped by the consumer instead of sent.
    void discardPending() noexcept {
        discardUpTo_.store(tail_.load(std::memory_order_relaxed), std::memory_order_release);
    }

    // Consumer side (process callback): offers messages in order until take
    // refuses one, which stays first in line for the next call.
    template <typename Take>
    void consume(Take take) noexcept {
        std::size_t head = head_.load(std::memory_order_relaxed);
        // Read before tail_, so the skip target never passes the tail seen.
        const std::size_t skipTo = discardUpTo_.load(std::memory_order_acquire);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        if (head < skipTo) {
            head = skipTo;
        }
        // The tail read above made the start of every message up to it visible.
        const std::size_t start = start_.load(std::memory_order_relaxed);
        while (head != tail) {
            const StoredSlot& stored = slots_[(head - start) & kMask];
            OutgoingSlot slot;
            slot.message.bytes = stored.bytes;
            slot.message.size = stored.size;
            slot.due = stored.due;
            if (!take(slot)) {
                break;
            }
            ++head;
        }
        head_.store(head, std::memory_order_release);
    }

private:
    static constexpr std::size_t kMask = kCapacity - 1;

    struct StoredSlot {
        std::array<std::uint8_t, 3> bytes;
        std::uint8_t size;
        jack_nframes_t due;
    };

    // Producer side.
    std::size_t slotOf(std::size_t index) const noexcept {
        return (index - start_.load(std::memory_order_relaxed)) & kMask;
    }

    // Whenever the process callback has taken everything, the next message
    // goes into the first slot again (start_ is its count), so a ring that is
    // kept up with keeps to its first cache lines. All 2 MiB are resident and
    // locked from the start (PageBackedArray): the process callback never
    // faults on them, and no page is given back that it might touch.
    PageBackedArray<StoredSlot> slots_;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    std::atomic<std::size_t> start_{0};  // producer-owned
    alignas(64) std::atomic<std::size_t> discardUpTo_{0};
};

}  // namespace keyflip::jack
