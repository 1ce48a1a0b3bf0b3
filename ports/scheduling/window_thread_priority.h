#pragma once

#include "thread_scheduling.h"
#include "window_thread_scheduling.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace keyflip::scheduling {

// The window thread raised while any port is open: taken when the first
// opens, given back when the last closes. A pump busy for longer than the
// plan's bound without the queue ever draining drops to normal scheduling
// until it drains. Linux only.
class WindowThreadPriority final : public WindowThreadScheduling {
public:
    using Say = std::function<void(const std::string&)>;

    // Of the calling thread.
    explicit WindowThreadPriority(ThreadPriority::LimitsSource limits = readLimits, Say say = {});

    void portOpened() override;
    void portClosed() override;
    void pumpBusy(std::chrono::steady_clock::time_point batchStart) override;
    void pumpDrained() override;

    const ThreadPriority& priority() const { return priority_; }

private:
    ThreadPriority priority_;
    Say say_;
    int openPorts_ = 0;
    std::optional<std::chrono::steady_clock::time_point> busySince_;
};

}  // namespace keyflip::scheduling
