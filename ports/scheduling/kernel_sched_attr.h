#pragma once

// The kernel's struct sched_attr, for sched_setattr and sched_getattr,
// declared here because only newer C libraries declare it, and not under one
// name. Linux only.

#include <cstdint>

namespace keyflip::scheduling {

struct KernelSchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;  // for the fair policies, the slice asked for
    std::uint64_t deadline;
    std::uint64_t period;
};

}  // namespace keyflip::scheduling
