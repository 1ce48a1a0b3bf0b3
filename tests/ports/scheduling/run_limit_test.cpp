#include "scheduling/thread_scheduling.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace keyflip::scheduling {
namespace {

constexpr auto kSpinLimit = std::chrono::seconds(20);

bool realtimeNow() {
    return (sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_RR;
}

// Runs without sleeping until the scheduler shows the thread normal again.
bool spinUntilLowered() {
    const auto deadline = std::chrono::steady_clock::now() + kSpinLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!realtimeNow()) {
            return true;
        }
    }
    return false;
}

// RealtimeKit's hard run limit of 200 ms: SIGXCPU at 100 ms, SIGKILL at
// 200; kernels with 100 ticks a second count it in 10 ms steps.
Limits shortRunLimit(ThreadId thread) {
    Limits limits = readLimits(thread);
    limits.run = {kUnlimited, 200'000};
    return limits;
}

// Exit statuses of the child, which says where it went wrong.
enum Outcome { kFine = 0, kNotRaised = 3, kNotLowered, kNotRaisedAgain, kNotCounted };

int runTwiceIntoTheLimit() {
    int outcome = kFine;
    std::thread([&outcome] {
        ThreadPriority priority(currentThreadId(), 1, shortRunLimit);
        priority.take();
        for (int round = 0; round < 2 && outcome == kFine; ++round) {
            if (!realtimeNow()) {
                outcome = round == 0 ? kNotRaised : kNotRaisedAgain;
            } else if (!spinUntilLowered()) {
                outcome = kNotLowered;
            } else {
                priority.raiseAgain();
                // As the window thread does in its event loop once raised
                // again: the kernel starts the count again when a real-time
                // thread wakes.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        priority.giveBack();
    }).join();
    if (outcome == kFine && runLimitHits() != 2) {
        outcome = kNotCounted;
    }
    return outcome;
}

// The second round catches a soft limit left where the kernel moved it
// after the first SIGXCPU (one second on, past the hard limit): then SIGKILL
// would come first.
TEST(RunLimitTest, SigxcpuLowersTheThreadThatRanAndItIsRaisedAgainAfterwards) {
    if (!realtimeAllowedByLimits(readLimits(currentThreadId()))) {
        GTEST_SKIP() << "real-time scheduling is not allowed here (no RLIMIT_RTPRIO, no "
                        "CAP_SYS_NICE)";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(runTwiceIntoTheLimit()), ::testing::ExitedWithCode(kFine), "");
}

}  // namespace
}  // namespace keyflip::scheduling
