#pragma once

#include <chrono>
#include <memory>

namespace keyflip {

// What the ports tell of the window thread's work, for its scheduling: the
// window thread carries every message, so while a port is open it runs
// above the programs beside it, as far as the user's rights allow, except
// while the pump works through a flood that would keep them off its core.
// Called on the window thread.
class WindowThreadScheduling {
public:
    virtual ~WindowThreadScheduling() = default;

    // Once for each port as it opens, and once as it closes.
    virtual void portOpened() = 0;
    virtual void portClosed() = 0;
    // A batch of the pump that began at batchStart gave the window its turn
    // with messages still waiting.
    virtual void pumpBusy(std::chrono::steady_clock::time_point batchStart) = 0;
    // A run of the pump left the input queue empty.
    virtual void pumpDrained() = 0;
};

// The calling thread's, telling on standard error what it got when first
// decided; nothing where the build has no such scheduling (the portable
// build, macOS, Windows).
std::unique_ptr<WindowThreadScheduling> createWindowThreadScheduling();

}  // namespace keyflip
