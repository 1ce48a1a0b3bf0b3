#include "window_thread_priority.h"

namespace keyflip::scheduling {

WindowThreadPriority::WindowThreadPriority(ThreadPriority::LimitsSource limits, Say say)
    : priority_(currentThreadId(), kWindowThreadPriority, std::move(limits)),
      say_(say ? std::move(say) : Say(sayOnStandardError)) {
}

void WindowThreadPriority::portOpened() {
    if (openPorts_++ == 0 && priority_.take()) {
        say_(describePlan(priority_.plan(), priority_.findings(), "window thread"));
    }
}

void WindowThreadPriority::portClosed() {
    if (openPorts_ > 0 && --openPorts_ == 0) {
        busySince_.reset();
        priority_.giveBack();
    }
}

void WindowThreadPriority::pumpBusy(std::chrono::steady_clock::time_point batchStart) {
    if (!priority_.taken() || priority_.lowered()) {
        return;
    }
    if (!busySince_) {
        busySince_ = batchStart;
    }
    if (std::chrono::steady_clock::now() - *busySince_ >= priority_.plan().busyLimit) {
        priority_.lower();
    }
}

void WindowThreadPriority::pumpDrained() {
    busySince_.reset();
    priority_.raiseAgain();
}

}  // namespace keyflip::scheduling
