#include "scheduling/short_time_slices.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace keyflip {
namespace {

// The slice the kernel runs the calling thread in, as it reports it.
std::optional<long long> currentSliceNs() {
    std::ifstream sched("/proc/thread-self/sched");
    std::string line;
    while (std::getline(sched, line)) {
        if (line.rfind("se.slice", 0) == 0) {
            return std::stoll(line.substr(line.find(':') + 1));
        }
    }
    return std::nullopt;
}

// Linux 6.12 is the first to honour a slice asked for by a fair thread.
bool kernelHonoursSlices() {
    utsname name{};
    int major = 0;
    int minor = 0;
    return uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
           (major > 6 || (major == 6 && minor >= 12));
}

struct Case {
    const char* name;
    int policy;
    int nice;
};

// Each case runs on a thread of its own, so the test's threads keep their own
// scheduling.
TEST(ShortTimeSlicesTest, KeepsPolicyAndNiceAndGetsTheSlice) {
    const Case cases[] = {
        {"normal", SCHED_OTHER, 0},
        {"normal, nicer", SCHED_OTHER, 5},
        {"batch", SCHED_BATCH, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread([&c] {
            sched_param none{};
            ASSERT_EQ(sched_setscheduler(0, c.policy, &none), 0);
            ASSERT_EQ(setpriority(PRIO_PROCESS, 0, c.nice), 0);
            EXPECT_TRUE(requestShortTimeSlices());
            EXPECT_EQ(sched_getscheduler(0), c.policy);
            EXPECT_EQ(getpriority(PRIO_PROCESS, 0), c.nice);
            const std::optional<long long> slice = currentSliceNs();
            if (kernelHonoursSlices() && slice) {
                EXPECT_EQ(*slice, kShortTimeSliceNs);
            }
        }).join();
    }
}

}  // namespace
}  // namespace keyflip
