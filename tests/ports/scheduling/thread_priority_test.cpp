#include "scheduling_test_support.h"

#include "scheduling/thread_scheduling.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

namespace keyflip::scheduling {
namespace {

using testing::niceOf;
using testing::ParkedThread;
using testing::policyOf;
using testing::priorityOf;
using testing::StandInKit;

// The limits as found, but for the rights each case gives.
struct Rights {
    int realtimePriorityMax = 0;
    int niceFloor = 20;
};

ThreadPriority::LimitsSource withRights(Rights rights) {
    return [rights](ThreadId thread) {
        Limits limits = readLimits(thread);
        limits.privileged = false;
        limits.realtimePriorityMax = rights.realtimePriorityMax;
        limits.niceFloor = rights.niceFloor;
        return limits;
    };
}

struct Case {
    const char* name;
    Rights rights;
    std::vector<QString> kit;  // the stand-in's arguments; "absent" for none
    Way way;
    int policy;
    int priority;
    int nice;
    // What the stand-in was asked, TID standing for the thread's id.
    std::vector<std::string> asked;
};

std::string withThread(std::string line, ThreadId thread) {
    const std::size_t at = line.find("TID");
    return at == std::string::npos ? line : line.replace(at, 3, std::to_string(thread));
}

TEST(ThreadPriorityTest, AsksWhatTheLimitsAndRealtimeKitAllowAndGivesItBack) {
    if (!testing::privateBusRunning()) {
        GTEST_SKIP() << "no private bus: dbus-daemon is missing (scripts/install-deps)";
    }
    if (!testing::mayRaiseOthers()) {
        GTEST_SKIP() << "the stand-in RealtimeKit must raise this process's threads, which "
                        "needs CAP_SYS_NICE: run as root";
    }
    const QString absent = QStringLiteral("absent");
    const Case cases[] = {
        {"RLIMIT_RTPRIO allows real time: RealtimeKit is not asked",
         {95, 20},
         {},
         Way::Realtime,
         SCHED_RR,
         3,
         0,
         {}},
        {"no rights: RealtimeKit grants real time",
         {0, 20},
         {},
         Way::RealtimeThroughKit,
         SCHED_RR,
         3,
         0,
         {"realtime TID 3 ok"}},
        {"RealtimeKit's maximum priority is lower",
         {0, 20},
         {"--max-priority", "2"},
         Way::RealtimeThroughKit,
         SCHED_RR,
         2,
         0,
         {"realtime TID 2 ok"}},
        {"RealtimeKit refuses real time: its nice level",
         {0, 20},
         {"--refuse-realtime"},
         Way::NiceThroughKit,
         SCHED_OTHER,
         0,
         -11,
         {"realtime TID 3 refused", "nice TID -11 ok"}},
        {"RealtimeKit refuses both: what RLIMIT_NICE allows",
         {0, -5},
         {"--refuse-realtime", "--refuse-nice"},
         Way::Nice,
         SCHED_OTHER,
         0,
         -5,
         {"realtime TID 3 refused", "nice TID -11 refused"}},
        {"RealtimeKit owns its name but never answers: what RLIMIT_NICE allows",
         {0, -5},
         {"--hang"},
         Way::Nice,
         SCHED_OTHER,
         0,
         -5,
         {}},
        {"no RealtimeKit and no rights: left as it was",
         {0, 20},
         {absent},
         Way::Unchanged,
         SCHED_OTHER,
         0,
         0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<StandInKit> kit;
        if (c.kit.empty() || c.kit.front() != absent) {
            kit = std::make_unique<StandInKit>(QStringList(c.kit.begin(), c.kit.end()));
            ASSERT_TRUE(kit->ready());
        }
        const ParkedThread thread;
        const rlimit runBefore = [] {
            rlimit limit{};
            getrlimit(RLIMIT_RTTIME, &limit);
            return limit;
        }();
        {
            ThreadPriority priority(thread.id(), kWindowThreadPriority, withRights(c.rights));
            EXPECT_TRUE(priority.take());
            EXPECT_EQ(priority.plan().way, c.way);
            EXPECT_EQ(policyOf(thread.id()), c.policy);
            EXPECT_EQ(priorityOf(thread.id()), c.priority);
            EXPECT_EQ(niceOf(thread.id()), c.nice);
            if (c.way == Way::RealtimeThroughKit) {
                rlimit run{};
                getrlimit(RLIMIT_RTTIME, &run);
                EXPECT_LE(run.rlim_max, 200'000U);
                EXPECT_LT(run.rlim_cur, run.rlim_max) << "SIGXCPU must come before SIGKILL";
            }
            if (kit) {
                std::vector<std::string> expected;
                for (const std::string& line : c.asked) {
                    expected.push_back(withThread(line, thread.id()));
                }
                EXPECT_EQ(kit->lines(expected.size()), expected);
            }
            priority.giveBack();
            EXPECT_EQ(policyOf(thread.id()), SCHED_OTHER);
            EXPECT_FALSE(priority.take()) << "decided once";
            EXPECT_EQ(policyOf(thread.id()), c.policy) << "raised again as decided";
        }
        EXPECT_EQ(policyOf(thread.id()), SCHED_OTHER);
        EXPECT_EQ(niceOf(thread.id()), 0);
        rlimit runAfter{};
        getrlimit(RLIMIT_RTTIME, &runAfter);
        if (testing::mayRaiseHardLimits() || runBefore.rlim_max <= 200'000U) {
            EXPECT_EQ(runAfter.rlim_cur, runBefore.rlim_cur);
            EXPECT_EQ(runAfter.rlim_max, runBefore.rlim_max);
        } else if (c.way == Way::RealtimeThroughKit) {
            // The hard limit stays lowered; SIGXCPU still comes first.
            EXPECT_LT(runAfter.rlim_cur, runAfter.rlim_max);
        }
    }
}

}  // namespace
}  // namespace keyflip::scheduling
