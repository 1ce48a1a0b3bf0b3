// The crossing from a MIDI thread to the UI thread, on each system's
// wake-up: eventfd (Linux), a pipe (macOS) and a loopback socket (Windows),
// all of them built here. Run under ThreadSanitizer by scripts/test.
#include "thread_crossing.h"
#include "backend_probes.h"
#include "wake_up/loopback_socket_wake.h"
#if !defined(_WIN32)
#include "wake_up/pipe_wake.h"
#endif
#if defined(__linux__)
#include "wake_up/eventfd_wake.h"
#endif

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using checks::pumpUntil;

template <typename Wake>
class ThreadCrossingTest : public ::testing::Test {
protected:
    BasicThreadCrossing<Wake> crossing{"the test's wake-up"};
};

#if defined(__linux__)
using Wakes = ::testing::Types<EventFdWake, PipeWake, LoopbackSocketWake>;
#elif defined(_WIN32)
using Wakes = ::testing::Types<LoopbackSocketWake>;
#else
using Wakes = ::testing::Types<PipeWake, LoopbackSocketWake>;
#endif
TYPED_TEST_SUITE(ThreadCrossingTest, Wakes);

// Every flag raised over there is seen here, by a handler on this thread,
// while the two threads run side by side; the last one, raised once at the
// end, only if no wake-up was lost on the way.
TYPED_TEST(ThreadCrossingTest, FlagsRaisedOnAnotherThreadReachTheHandlerHere) {
    auto& crossing = this->crossing;
    constexpr std::uint32_t kLast = 1u << 31;
    std::uint32_t seen = 0;
    bool onThisThread = true;
    const QThread* const here = QThread::currentThread();
    crossing.setHandler([&] {
        onThisThread = onThisThread && QThread::currentThread() == here;
        crossing.acknowledge();
        for (std::uint32_t bit = 0; bit < 32; ++bit) {
            if (crossing.takeFlag(1u << bit)) {
                seen |= 1u << bit;
            }
        }
    });
    std::thread midi([&] {
        for (std::uint32_t round = 0; round < 200000; ++round) {
            crossing.raise(1u << (round % 31));
        }
        crossing.raise(kLast);
    });
    EXPECT_TRUE(pumpUntil([&] { return seen == ~0u; }, 20000ms)) << std::hex << seen;
    midi.join();
    EXPECT_TRUE(onThisThread);
}

// A wake-up that comes after the acknowledgement runs the handler again,
// however closely they follow each other: one round trip at a time, any
// wake-up lost stalls the rounds.
TYPED_TEST(ThreadCrossingTest, EveryWakeAfterTheAcknowledgementRunsTheHandlerAgain) {
    auto& crossing = this->crossing;
    constexpr int kRounds = 2000;
    std::mutex mutex;
    std::condition_variable handled;
    int runs = 0;
    crossing.setHandler([&] {
        crossing.acknowledge();
        if (crossing.takeFlag(1)) {
            const std::lock_guard lock(mutex);
            ++runs;
            handled.notify_one();
        }
    });
    std::atomic<bool> stalled{false};
    std::thread midi([&] {
        for (int round = 0; round < kRounds && !stalled; ++round) {
            crossing.raise(1);
            std::unique_lock lock(mutex);
            if (!handled.wait_for(lock, 5s, [&] { return runs > round; })) {
                stalled = true;
            }
        }
    });
    pumpUntil(
        [&] {
            const std::lock_guard lock(mutex);
            return runs == kRounds || stalled;
        },
        60000ms);
    midi.join();
    EXPECT_FALSE(stalled) << "a wake-up was lost after " << runs << " rounds";
    EXPECT_EQ(runs, kRounds);
}

// A UI thread that does not read (a box waits, or a flood) never stops the
// MIDI thread; one acknowledgement takes all the wake-ups, and the handler
// is not run again for them.
TYPED_TEST(ThreadCrossingTest, WakesThatPileUpNeverBlockTheWakerAndAreTakenAtOnce) {
    auto& crossing = this->crossing;
    std::atomic<bool> done{false};
    std::thread midi([&] {
        for (int wake = 0; wake < 200000; ++wake) {
            crossing.wake();
        }
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(done) << "the waking thread blocked";
    midi.join();
    int runs = 0;
    crossing.setHandler([&] {
        ++runs;
        crossing.acknowledge();
    });
    EXPECT_TRUE(pumpUntil([&] { return runs > 0; }, 5000ms));
    pumpUntil([] { return false; }, 100ms);
    EXPECT_EQ(runs, 1);
}

TYPED_TEST(ThreadCrossingTest, AnEmptyHandlerStopsTheWatching) {
    auto& crossing = this->crossing;
    int runs = 0;
    crossing.setHandler([&] { ++runs; });
    crossing.setHandler({});
    crossing.wake();
    pumpUntil([] { return false; }, 100ms);
    EXPECT_EQ(runs, 0);
}

}  // namespace
}  // namespace keyflip
