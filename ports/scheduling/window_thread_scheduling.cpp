#include "window_thread_scheduling.h"

#if defined(KEYFLIP_THREAD_PRIORITY)
#include "window_thread_priority.h"
#endif

namespace keyflip {

std::unique_ptr<WindowThreadScheduling> createWindowThreadScheduling() {
#if defined(KEYFLIP_THREAD_PRIORITY)
    return std::make_unique<scheduling::WindowThreadPriority>();
#else
    return nullptr;
#endif
}

}  // namespace keyflip
