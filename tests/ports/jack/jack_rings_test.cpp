#include "jack/jack_arrival_stamps.h"
#include "jack/jack_outgoing_ring.h"
#include "resident_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace keyflip::jack {
namespace {

OutgoingSlot noteOn(std::uint8_t key, jack_nframes_t due) {
    OutgoingSlot slot;
    slot.message.bytes = {0x90, key, 1};
    slot.message.size = 3;
    slot.due = due;
    return slot;
}

// Into taken, emptied first: a loop that reuses one vector allocates nothing,
// so the process's resident memory is the rings'.
void takeAll(OutgoingRing& ring, std::vector<jack_nframes_t>& taken) {
    taken.clear();
    ring.consume([&](const OutgoingSlot& slot) {
        taken.push_back(slot.due);
        return true;
    });
}

std::vector<jack_nframes_t> takeAll(OutgoingRing& ring) {
    std::vector<jack_nframes_t> taken;
    takeAll(ring, taken);
    return taken;
}

// Drained again and again, the rings start over at their first slots each
// time, so a long run of traffic keeps a page or two of them resident.
TEST(JackRings, AnOutgoingRingThatIsKeptUpWithStaysInItsFirstPages) {
    OutgoingRing ring;
    std::vector<jack_nframes_t> round;
    round.reserve(8);
    const testing_support::ResidentGrowth growth;
    jack_nframes_t sent = 0;
    jack_nframes_t taken = 0;
    for (std::size_t n = 0; n < OutgoingRing::kCapacity / 2; ++n) {
        for (std::size_t i = 0; i <= n % 8; ++i) {
            ASSERT_TRUE(ring.push(noteOn(static_cast<std::uint8_t>(sent & 127), sent)));
            ++sent;
        }
        takeAll(ring, round);
        for (const jack_nframes_t due : round) {
            ASSERT_EQ(due, taken++);
        }
    }
    ASSERT_EQ(taken, sent);
    growth.expectBelow(OutgoingRing::kCapacity * sizeof(OutgoingSlot) / 4);
}

// A backlog far beyond what a steady stream keeps in flight touches much of
// the ring; once it has drained, the next message finds the ring empty and
// the pages the backlog touched are given back.
TEST(JackRings, ALongBacklogGivesItsPagesBackOnceItHasDrained) {
    OutgoingRing ring;
    const testing_support::ResidentGrowth growth;
    for (int round = 0; round < 2; ++round) {
        constexpr jack_nframes_t kBacklog = 100000;
        for (jack_nframes_t i = 0; i < kBacklog; ++i) {
            ASSERT_TRUE(ring.push(noteOn(static_cast<std::uint8_t>(i & 127), i)));
        }
        const long long grown = growth.bytes();
        jack_nframes_t expected = 0;
        bool inOrder = true;
        ring.consume([&](const OutgoingSlot& slot) {
            inOrder = inOrder && slot.due == expected && slot.message.bytes[1] == (expected & 127);
            ++expected;
            return true;
        });
        ASSERT_TRUE(inOrder) << "round " << round;
        ASSERT_EQ(expected, kBacklog);
        ASSERT_TRUE(ring.push(noteOn(60, 7)));
        growth.expectBelow(grown / 4);
        EXPECT_EQ(takeAll(ring), std::vector<jack_nframes_t>{7});
    }
}

// The last backlog of a session is followed by no message: the UI thread
// gives its pages back on its own once the process thread has taken it all.
TEST(JackRings, ABacklogThatNoMessageFollowsIsGivenBackOnceDrained) {
    OutgoingRing ring;
    const testing_support::ResidentGrowth growth;
    constexpr jack_nframes_t kBacklog = 100000;
    for (jack_nframes_t i = 0; i < kBacklog; ++i) {
        ASSERT_TRUE(ring.push(noteOn(static_cast<std::uint8_t>(i & 127), i)));
    }
    ASSERT_TRUE(ring.holdsBacklogPages());
    const long long grown = growth.bytes();
    EXPECT_FALSE(ring.giveBackIfDrained()) << "nothing is given back while messages wait";
    jack_nframes_t taken = 0;
    ring.consume([&](const OutgoingSlot& slot) { return slot.due == taken++; });
    ASSERT_EQ(taken, kBacklog);
    EXPECT_TRUE(ring.giveBackIfDrained());
    EXPECT_FALSE(ring.holdsBacklogPages());
    growth.expectBelow(grown / 4);
    ASSERT_TRUE(ring.push(noteOn(60, 7)));
    EXPECT_EQ(takeAll(ring), std::vector<jack_nframes_t>{7});
}

TEST(JackRings, DiscardedMessagesAreSkippedAndLaterOnesKeepTheirPlace) {
    OutgoingRing ring;
    ring.push(noteOn(60, 1));
    EXPECT_EQ(takeAll(ring), std::vector<jack_nframes_t>{1});
    ring.push(noteOn(61, 2));
    ring.push(noteOn(62, 3));
    ring.discardPending();
    ring.push(noteOn(63, 4));
    ASSERT_FALSE(ring.consumedUpTo(ring.pushedCount()));
    EXPECT_EQ(ring.messageAt(ring.pushedCount() - 1).bytes[1], 63);
    EXPECT_EQ(takeAll(ring), std::vector<jack_nframes_t>{4});
    ring.push(noteOn(64, 5));
    EXPECT_EQ(ring.messageAt(ring.pushedCount() - 1).bytes[1], 64);
    EXPECT_EQ(takeAll(ring), std::vector<jack_nframes_t>{5});
}

// The UI thread and the process thread at once, the ring running dry and
// filling up again: nothing lost, doubled, damaged or reordered, and a
// consumer that refuses a message finds it first in line next time.
// ThreadSanitizer builds check the memory orders here.
TEST(JackRings, TheUiThreadAndTheProcessThreadAgreeOnEveryOutgoingMessage) {
    OutgoingRing ring;
    constexpr jack_nframes_t kMessages = 300000;
    std::atomic<bool> failed{false};
    std::thread process([&] {
        jack_nframes_t expected = 0;
        std::uint32_t cycle = 0;
        while (expected < kMessages && !failed.load(std::memory_order_relaxed)) {
            // Some cycles take a few, some everything, some nothing at all.
            const std::uint32_t room = (++cycle % 7 == 0) ? 0 : (cycle % 3 == 0 ? 5 : 100000);
            std::uint32_t taken = 0;
            ring.consume([&](const OutgoingSlot& slot) {
                if (taken == room) {
                    return false;
                }
                if (slot.due != expected || slot.message.size != 3 ||
                    slot.message.bytes[1] != (expected & 127)) {
                    failed.store(true, std::memory_order_relaxed);
                    return false;
                }
                ++expected;
                ++taken;
                return true;
            });
            std::this_thread::yield();
        }
    });
    for (jack_nframes_t i = 0; i < kMessages && !failed.load(std::memory_order_relaxed);) {
        // Bursts long enough to pass the resident slots, then a pause.
        const jack_nframes_t burst = (i / 1000) % 5 == 0 ? 20000 : 1 + i % 13;
        for (jack_nframes_t n = 0; n < burst && i < kMessages; ++n) {
            while (!ring.push(noteOn(static_cast<std::uint8_t>(i & 127), i))) {
                std::this_thread::yield();
            }
            ++i;
        }
        while (!ring.consumedUpTo(ring.pushedCount()) && i % 3 == 0) {
            std::this_thread::yield();
        }
        // As the backend's timer does, whether or not the ring has drained.
        if (i % 7 == 0) {
            ring.giveBackIfDrained();
        }
    }
    process.join();
    EXPECT_FALSE(failed.load());
}

// One process cycle as the backend runs it: push what arrived, stamp each.
void arrive(IncomingQueue& queue, ArrivalStamps& stamps,
            const std::vector<jack_nframes_t>& frames) {
    std::size_t pushedCount = stamps.beginCycle(queue);
    for (const jack_nframes_t frame : frames) {
        if (queue.push({144, 60, 1})) {
            stamps.stamp(pushedCount, frame);
        }
    }
    stamps.endCycle(pushedCount);
}

struct StampStep {
    std::vector<jack_nframes_t> arriving;
    std::size_t taken;  // popped by the UI thread after the cycle
    std::optional<jack_nframes_t> front;
};

// The frame of the message first in the queue, as cycles and the UI thread
// take turns; the queue runs dry between some of them.
TEST(JackRings, TheFirstMessageInTheQueueKeepsItsArrivalFrame) {
    const std::vector<StampStep> steps = {
        {{10, 20, 30}, 0, 10}, {{}, 1, 20},   {{40}, 0, 20}, {{}, 3, std::nullopt},
        {{50, 60}, 0, 50},     {{}, 1, 60},   {{70}, 1, 70}, {{}, 1, std::nullopt},
        {{}, 0, std::nullopt}, {{80}, 0, 80},
    };
    IncomingQueue queue;
    ArrivalStamps stamps;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        arrive(queue, stamps, steps[i].arriving);
        for (std::size_t n = 0; n < steps[i].taken; ++n) {
            queue.pop();
        }
        EXPECT_EQ(stamps.frontArrival(queue), steps[i].front) << "step " << i;
    }
}

TEST(JackRings, StampsOfAQueueThatIsKeptUpWithStayInTheirFirstPages) {
    IncomingQueue queue;
    ArrivalStamps stamps;
    std::vector<jack_nframes_t> arriving;
    arriving.reserve(8);
    const testing_support::ResidentGrowth growth;
    jack_nframes_t frame = 0;
    for (std::size_t round = 0; round < IncomingQueue::kCapacity / 2; ++round) {
        arriving.clear();
        for (std::size_t i = 0; i <= round % 8; ++i) {
            arriving.push_back(frame++);
        }
        arrive(queue, stamps, arriving);
        for (const jack_nframes_t expected : arriving) {
            ASSERT_EQ(stamps.frontArrival(queue), expected);
            queue.pop();
        }
    }
    growth.expectBelow(IncomingQueue::kCapacity * (sizeof(ShortMessage) + sizeof(jack_nframes_t)) /
                       4);
}

}  // namespace
}  // namespace keyflip::jack
