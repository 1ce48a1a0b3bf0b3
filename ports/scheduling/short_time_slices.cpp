#include "short_time_slices.h"

#include "kernel_sched_attr.h"

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
    scheduling::KernelSchedAttr attributes{};
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
