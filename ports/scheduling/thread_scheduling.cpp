#include "thread_scheduling.h"

#include "realtime_kit.h"

#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace keyflip::scheduling {

namespace {

// The one piece of global state here: a signal handler reaches nothing
// else. It counts the threads SIGXCPU lowered, so their owners see it.
std::atomic<unsigned> runLimitHitCount{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

constexpr int kHighestRealtimePriority = 99;
constexpr long kNiceRange = 40;

// SIGXCPU goes to the thread that ran too long while it does not block the
// signal. Only async-signal-safe calls: the raw system call lowers the very
// thread the handler runs on, which then carries on at normal priority
// instead of being killed at the hard limit.
void onRunLimit(int) {
    const int saved = errno;
    sched_param normal{};
    static_cast<void>(syscall(SYS_sched_setscheduler, 0, SCHED_OTHER, &normal));
    runLimitHitCount.fetch_add(1, std::memory_order_relaxed);
    errno = saved;
}

void handleRunLimit() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = onRunLimit;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        return sigaction(SIGXCPU, &action, nullptr) == 0;
    }();
    static_cast<void>(installed);
    // A thread that blocks it would leave it to another, which would lower
    // itself instead.
    sigset_t limit;
    sigemptyset(&limit);
    sigaddset(&limit, SIGXCPU);
    pthread_sigmask(SIG_UNBLOCK, &limit, nullptr);
}

bool privileged() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
}

std::int64_t fromRlimit(rlim_t value) {
    return value == RLIM_INFINITY ? kUnlimited : static_cast<std::int64_t>(value);
}

rlim_t toRlimit(std::int64_t value) {
    return value == kUnlimited ? RLIM_INFINITY : static_cast<rlim_t>(value);
}

RunLimit readRunLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
        return {};
    }
    return {fromRlimit(limit.rlim_cur), fromRlimit(limit.rlim_max)};
}

bool setRunLimit(const RunLimit& run) {
    const rlimit limit{toRlimit(run.softUs), toRlimit(run.hardUs)};
    return setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

std::optional<KernelSchedAttr> readAttributes(ThreadId thread) {
    KernelSchedAttr attributes{};
    if (syscall(SYS_sched_getattr, static_cast<pid_t>(thread), &attributes, sizeof attributes, 0) !=
        0) {
        return std::nullopt;
    }
    return attributes;
}

}  // namespace

ThreadId currentThreadId() {
    return static_cast<ThreadId>(syscall(SYS_gettid));
}

unsigned runLimitHits() {
    return runLimitHitCount.load(std::memory_order_relaxed);
}

void sayOnStandardError(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

Limits readLimits(ThreadId thread) {
    Limits limits;
    limits.privileged = privileged();
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0) {
        limits.realtimePriorityMax = static_cast<int>(
            std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(kHighestRealtimePriority)));
    }
    if (getrlimit(RLIMIT_NICE, &limit) == 0) {
        limits.niceFloor = 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur,
                                                                  static_cast<rlim_t>(kNiceRange)));
    } else {
        limits.niceFloor = 20;
    }
    // getpriority answers -1 for nice -1 too; only errno tells them apart.
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    if (nice != -1 || errno == 0) {
        limits.currentNice = nice;
    }
    limits.run = readRunLimit();
    return limits;
}

ThreadPriority::ThreadPriority(ThreadId thread, int wantedPriority, LimitsSource limits)
    : thread_(thread), wantedPriority_(wantedPriority), limits_(std::move(limits)) {
}

ThreadPriority::~ThreadPriority() {
    giveBack();
}

bool ThreadPriority::take() {
    if (!taken_) {
        found_ = readAttributes(thread_);
        runFound_ = readRunLimit();
    }
    const bool first = !decided_;
    if (first) {
        decide();
    } else if (!apply(plan_)) {
        findings_.refused |= bitOf(plan_.way);
        decide();
    }
    taken_ = true;
    lowered_ = false;
    hitsSeen_ = runLimitHits();
    return first;
}

void ThreadPriority::decide() {
    findings_.limits = limits_(thread_);
    for (;;) {
        const bool realtimeByLimits = realtimeAllowedByLimits(findings_.limits) &&
                                      (findings_.refused & bitOf(Way::Realtime)) == 0;
        if (!realtimeByLimits && !askedKit_) {
            askedKit_ = true;
            findings_.realtimeKit = realtime_kit::ask();
        }
        plan_ = chooseScheduling(findings_, wantedPriority_);
        if (plan_.way == Way::Unchanged || apply(plan_)) {
            break;
        }
        findings_.refused |= bitOf(plan_.way);
    }
    decided_ = true;
}

bool ThreadPriority::apply(const Plan& plan) {
    if (plan.runLimit) {
        handleRunLimit();
        // Also undoes the kernel's raising of the soft limit after a SIGXCPU,
        // which would leave only the hard limit, and SIGKILL.
        if (!setRunLimit(*plan.runLimit)) {
            return false;
        }
    }
    const auto thread = static_cast<pid_t>(thread_);
    switch (plan.way) {
        case Way::Realtime: {
            sched_param parameters{};
            parameters.sched_priority = plan.priority;
            // Children, a JACK server started from here among them, start
            // at normal priority.
            return sched_setscheduler(thread, SCHED_RR | SCHED_RESET_ON_FORK, &parameters) == 0;
        }
        case Way::RealtimeThroughKit:
            return realtime_kit::makeThreadRealtime(thread_, plan.priority);
        case Way::NiceThroughKit:
            return realtime_kit::makeThreadHighPriority(thread_, plan.nice);
        case Way::Nice:
            return setpriority(PRIO_PROCESS, static_cast<id_t>(thread), plan.nice) == 0;
        case Way::Unchanged:
            break;
    }
    return true;
}

bool ThreadPriority::realtimeNow() const {
    const int policy = sched_getscheduler(static_cast<pid_t>(thread_)) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_RR || policy == SCHED_FIFO;
}

void ThreadPriority::lower() {
    if (!taken_ || lowered_ || plan_.way == Way::Unchanged) {
        return;
    }
    if (found_) {
        static_cast<void>(syscall(SYS_sched_setattr, static_cast<pid_t>(thread_), &*found_, 0));
    }
    lowered_ = true;
}

// The kernel restarts a thread's count against the run limit only when it
// wakes at real time, so a thread raised again counts on from where SIGXCPU
// stopped it until it next sleeps; the soft limit set again here keeps
// SIGXCPU ahead of the hard limit meanwhile.
void ThreadPriority::raiseAgain() {
    if (!taken_ || plan_.way == Way::Unchanged) {
        return;
    }
    const unsigned hits = runLimitHits();
    const bool signalled = hits != hitsSeen_;
    hitsSeen_ = hits;
    const bool realtimePlan = plan_.way == Way::Realtime || plan_.way == Way::RealtimeThroughKit;
    if (lowered_ || (signalled && realtimePlan && !realtimeNow())) {
        lowered_ = !apply(plan_);
    }
}

void ThreadPriority::giveBack() {
    if (!taken_) {
        return;
    }
    if (found_ && plan_.way != Way::Unchanged) {
        static_cast<void>(syscall(SYS_sched_setattr, static_cast<pid_t>(thread_), &*found_, 0));
    }
    // Also after a way that set the limit was refused. A hard limit once
    // lowered goes back up only for a privileged process; then the soft one
    // stays below it (the kernel may have moved it past), and SIGXCPU
    // handled.
    if (runFound_ && readRunLimit() != *runFound_ && !setRunLimit(*runFound_)) {
        const RunLimit now = readRunLimit();
        if (now.hardUs != kUnlimited && (now.softUs == kUnlimited || now.softUs >= now.hardUs)) {
            static_cast<void>(setRunLimit({now.hardUs / 2, now.hardUs}));
        }
    }
    taken_ = false;
    lowered_ = false;
}

}  // namespace keyflip::scheduling
