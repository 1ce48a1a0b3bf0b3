#include "jack/jack_arrival_stamps.h"
#include "jack/jack_outgoing_ring.h"
#include "sanitizers.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

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

// Into taken, emptied first.
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

// Minor page faults the calling thread has taken so far.
long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// However deep the backlog, the process thread writes into the input queue
// and the arrival stamps and reads the outgoing ring only on pages that were
// resident before it ran, so it never waits on a page fault; nor does the UI
// thread filling the ring.
TEST(JackRings, TheProcessThreadTakesNoPageFaultInTheDeepestBacklog) {
#if defined(KEYFLIP_UNDER_ADDRESS_SANITIZER) || defined(KEYFLIP_UNDER_THREAD_SANITIZER)
    GTEST_SKIP() << "the sanitizer's shadow memory takes page faults of its own";
#endif
    IncomingQueue queue;
    ArrivalStamps stamps;
    OutgoingRing ring;
    const long uiBefore = minorFaults();
    for (std::size_t i = 0; i < OutgoingRing::kCapacity; ++i) {
        ASSERT_TRUE(ring.push(noteOn(60, static_cast<jack_nframes_t>(i))));
    }
    EXPECT_EQ(minorFaults() - uiBefore, 0) << "filling the outgoing ring";
    const std::vector<jack_nframes_t> frames(IncomingQueue::kCapacity, 1);
    long processFaults = -1;
    std::size_t consumed = 0;
    std::thread process([&] {
        // One message first, so the code and the stack are in.
        arrive(queue, stamps, {0});
        queue.pop();
        const long before = minorFaults();
        arrive(queue, stamps, frames);
        ring.consume([&consumed](const OutgoingSlot&) {
            ++consumed;
            return true;
        });
        processFaults = minorFaults() - before;
    });
    process.join();
    ASSERT_EQ(queue.size(), IncomingQueue::kCapacity);
    ASSERT_EQ(consumed, OutgoingRing::kCapacity);
    EXPECT_EQ(processFaults, 0);
}

}  // namespace
}  // namespace keyflip::jack
