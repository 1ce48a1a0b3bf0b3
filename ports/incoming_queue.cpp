#include "incoming_queue.h"

#include "port_texts.h"
#include "wire_format.h"

namespace keyflip {

namespace {

constexpr std::size_t kIndexMask = IncomingQueue::kCapacity - 1;
static_assert((IncomingQueue::kCapacity & kIndexMask) == 0, "capacity must be a power of two");

}  // namespace

IncomingQueue::IncomingQueue() : slots_(kCapacity), wake_(texts::kInputWakeFailed) {
}

IncomingQueue::~IncomingQueue() = default;

bool IncomingQueue::pushBytes(std::span<const std::uint8_t> bytes) noexcept {
    const auto message = decodeShortMessage(bytes);
    return message && push(*message);
}

void IncomingQueue::countLost(std::uint64_t count) noexcept {
    dropped_.fetch_add(count, std::memory_order_relaxed);
}

bool IncomingQueue::push(const ShortMessage& message) noexcept {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t head = head_.load(std::memory_order_acquire);
    if (tail - head >= kCapacity) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::size_t start = start_.load(std::memory_order_relaxed);
    if (head == tail) {
        // Published with the tail below; nothing before it is left to read.
        start = tail;
        start_.store(start, std::memory_order_relaxed);
    }
    slots_[(tail - start) & kIndexMask] = {message.status, message.data1, message.data2};
    tail_.store(tail + 1, std::memory_order_release);
    return true;
}

void IncomingQueue::wake() noexcept {
    wake_.wake();
}

std::size_t IncomingQueue::size() const noexcept {
    return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_relaxed);
}

ShortMessage IncomingQueue::front() const noexcept {
    // The tail read by size() made the start of the message at head visible.
    const std::size_t head = head_.load(std::memory_order_relaxed);
    const Slot& slot = slots_[(head - start_.load(std::memory_order_relaxed)) & kIndexMask];
    return {slot.status, slot.data1, slot.data2};
}

void IncomingQueue::pop() noexcept {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head != tail_.load(std::memory_order_acquire)) {
        head_.store(head + 1, std::memory_order_release);
    }
}

void IncomingQueue::clear() noexcept {
    head_.store(tail_.load(std::memory_order_acquire), std::memory_order_release);
}

std::uint64_t IncomingQueue::takeDroppedCount() noexcept {
    return dropped_.exchange(0, std::memory_order_relaxed);
}

}  // namespace keyflip
