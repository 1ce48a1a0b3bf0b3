#pragma once

// Raising one thread of this process as chosen (scheduling_choice.h), and
// putting it back as it was found. Linux only.
//
// A real-time thread that runs too long without sleeping is stopped by the
// run limit (RLIMIT_RTTIME), which the raise sets: SIGXCPU then lowers the
// thread that ran (the handler does nothing else), and its owner raises it
// again once its work is done. The limit is the process's, so the thread
// raised first must be given back last.

#include "kernel_sched_attr.h"
#include "scheduling_choice.h"

#include <functional>
#include <optional>
#include <string>

namespace keyflip::scheduling {

using ThreadId = long long;  // the kernel's id of a thread, as gettid gives it

ThreadId currentThreadId();
// The process's limits and the thread's nice now.
Limits readLimits(ThreadId thread);

// Threads that SIGXCPU has lowered so far, in the whole process.
unsigned runLimitHits();

// How a thread tells the user what it got: one line on standard error.
void sayOnStandardError(const std::string& line);

class ThreadPriority {
public:
    using LimitsSource = std::function<Limits(ThreadId)>;

    ThreadPriority(ThreadId thread, int wantedPriority, LimitsSource limits = readLimits);
    ~ThreadPriority();
    ThreadPriority(const ThreadPriority&) = delete;
    ThreadPriority& operator=(const ThreadPriority&) = delete;

    // Raises the thread, the first time as decided now (asking RealtimeKit
    // only where the limits do not allow real time), later as decided then.
    // True the first time, so the caller can say once what was got.
    bool take();
    // Back to how it was found, the run limit left as set; raiseAgain undoes
    // it.
    void lower();
    // Raised again after lower(), or after SIGXCPU lowered it.
    void raiseAgain();
    // Back to how it was found, and the run limit as it was where the
    // kernel lets a raised hard limit go back up.
    void giveBack();

    bool taken() const { return taken_; }
    bool lowered() const { return lowered_; }
    const Plan& plan() const { return plan_; }
    const Findings& findings() const { return findings_; }

private:
    void decide();
    bool apply(const Plan& plan);
    bool realtimeNow() const;

    const ThreadId thread_;
    const int wantedPriority_;
    const LimitsSource limits_;
    bool decided_ = false;
    bool askedKit_ = false;
    bool taken_ = false;
    bool lowered_ = false;
    unsigned hitsSeen_ = 0;
    Findings findings_;
    Plan plan_;
    std::optional<KernelSchedAttr> found_;
    std::optional<RunLimit> runFound_;
};

}  // namespace keyflip::scheduling
