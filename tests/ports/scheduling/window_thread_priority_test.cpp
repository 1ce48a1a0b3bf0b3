#include "scheduling/window_thread_priority.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace keyflip::scheduling {
namespace {

using Clock = std::chrono::steady_clock;

int policyNow() {
    return sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
}

// On a thread of its own, so the test's threads keep their scheduling.
TEST(WindowThreadPriorityTest, HeldWhilePortsAreOpenAndDroppedWhileAFloodLasts) {
    if (!realtimeAllowedByLimits(readLimits(currentThreadId()))) {
        GTEST_SKIP() << "real-time scheduling is not allowed here (no RLIMIT_RTPRIO, no "
                        "CAP_SYS_NICE)";
    }
    std::thread([] {
        std::vector<std::string> said;
        WindowThreadPriority window(readLimits,
                                    [&said](const std::string& line) { said.push_back(line); });
        const int niceBefore = getpriority(PRIO_PROCESS, 0);
        window.pumpBusy(Clock::now() - std::chrono::hours(1));
        EXPECT_EQ(policyNow(), SCHED_OTHER) << "nothing is taken before a port opens";

        window.portOpened();
        window.portOpened();
        ASSERT_EQ(said.size(), 1U) << "one line, when first decided";
        EXPECT_EQ(policyNow(), SCHED_RR);
        const auto bound = window.priority().plan().busyLimit;

        window.pumpBusy(Clock::now() - bound - std::chrono::milliseconds(1));
        EXPECT_EQ(policyNow(), SCHED_OTHER) << "busy past the bound";
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), niceBefore);
        window.pumpDrained();
        EXPECT_EQ(policyNow(), SCHED_RR) << "raised again once drained";

        // A spell is timed from its first batch, however late the last.
        window.pumpBusy(Clock::now() + std::chrono::hours(1));
        window.pumpBusy(Clock::now() - std::chrono::hours(1));
        EXPECT_EQ(policyNow(), SCHED_RR);
        window.pumpDrained();

        window.portClosed();
        EXPECT_EQ(policyNow(), SCHED_RR) << "one port is still open";
        window.portClosed();
        EXPECT_EQ(policyNow(), SCHED_OTHER);
        window.portOpened();
        EXPECT_EQ(policyNow(), SCHED_RR) << "taken again as decided";
        EXPECT_EQ(said.size(), 1U);
        window.portClosed();
        EXPECT_EQ(policyNow(), SCHED_OTHER);
    }).join();
}

}  // namespace
}  // namespace keyflip::scheduling
