#include "incoming_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace keyflip {
namespace {

TEST(IncomingQueue, KeepsOrderAndDropsTheNewestWhenFull) {
    IncomingQueue queue;
    for (std::size_t i = 0; i < IncomingQueue::kCapacity; ++i) {
        ASSERT_TRUE(queue.push({144, static_cast<std::int16_t>(i & 127), 1}));
    }
    EXPECT_FALSE(queue.push({128, 1, 0}));
    EXPECT_FALSE(queue.push({128, 2, 0}));
    EXPECT_EQ(queue.takeDroppedCount(), 2u);
    EXPECT_EQ(queue.takeDroppedCount(), 0u);
    EXPECT_EQ(queue.size(), IncomingQueue::kCapacity);
    for (std::size_t i = 0; i < IncomingQueue::kCapacity; ++i) {
        ASSERT_EQ(queue.front().data1, static_cast<std::int16_t>(i & 127));
        queue.pop();
    }
    EXPECT_EQ(queue.size(), 0u);
    queue.pop();  // popping an empty queue does nothing
    EXPECT_EQ(queue.size(), 0u);
}

TEST(IncomingQueue, IgnoresBytesThatAreNotOneShortMessage) {
    IncomingQueue queue;
    const std::uint8_t sysex[] = {0xF0, 1, 0xF7};
    const std::uint8_t clock[] = {0xF8};
    EXPECT_FALSE(queue.pushBytes(sysex));
    EXPECT_TRUE(queue.pushBytes(clock));
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.front(), (ShortMessage{248, 0, 0}));
}

// A producer thread and the consumer at once: nothing lost, nothing
// reordered. ThreadSanitizer builds check the memory orders here.
TEST(IncomingQueue, AProducerThreadAndTheConsumerAgreeOnEveryMessage) {
    IncomingQueue queue;
    constexpr int kMessages = 200000;
    std::thread producer([&] {
        for (int i = 0; i < kMessages; ++i) {
            const ShortMessage message{144, static_cast<std::int16_t>(i & 127),
                                       static_cast<std::int16_t>((i >> 7) & 127)};
            while (!queue.push(message)) {
                queue.takeDroppedCount();
                std::this_thread::yield();
            }
            queue.wake();
        }
    });
    for (int expected = 0; expected < kMessages;) {
        if (queue.size() == 0) {
            std::this_thread::yield();
            continue;
        }
        const ShortMessage message = queue.front();
        ASSERT_EQ(message.data1, expected & 127);
        ASSERT_EQ(message.data2, (expected >> 7) & 127);
        queue.pop();
        ++expected;
    }
    producer.join();
    queue.acknowledgeWake();
}

}  // namespace
}  // namespace keyflip
