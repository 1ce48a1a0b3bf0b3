#include "short_time_slices.h"

#if defined(__linux__)
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#endif

namespace keyflip {

#if defined(__linux__) && defined(SYS_sched_setattr)

namespace {

// The kernel's struct sched_attr, declared here because only newer C
// libraries declare it, and not under one name.
struct SchedulingAttributes {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;  // for the fair policies, the slice asked for
    std::uint64_t deadline;
    std::uint64_t period;
};

}  // namespace

bool requestShortTimeSlices() {
    const int policy = sched_getscheduler(0);
    if (policy != SCHED_OTHER && policy != SCHED_BATCH) {
        return false;
    }
    // getpriority answers -1 for nice -1 too; only errno tells them apart.
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (nice == -1 && errno != 0) {
        return false;
    }
    SchedulingAttributes attributes{};
    attributes.size = sizeof attributes;
    attributes.policy = static_cast<std::uint32_t>(policy);
    attributes.nice = nice;
    attributes.runtime = static_cast<std::uint64_t>(kShortTimeSliceNs);
    return syscall(SYS_sched_setattr, 0, &attributes, 0) == 0;
}

#else

bool requestShortTimeSlices() {
    return false;
}

#endif

}  // namespace keyflip
