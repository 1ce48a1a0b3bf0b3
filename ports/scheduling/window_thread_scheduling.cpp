#include "window_thread_scheduling.h"

#if defined(__linux__)
#include "window_thread_priority.h"
#endif

namespace keyflip {

std::unique_ptr<WindowThreadScheduling> createWindowThreadScheduling() {
#if defined(__linux__)
    return std::make_unique<scheduling::WindowThreadPriority>();
#else
    return nullptr;
#endif
}

}  // namespace keyflip
