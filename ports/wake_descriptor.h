#pragma once

// How a MIDI system's thread wakes the UI thread without any Qt call there:
// the UI thread watches the descriptor with a QSocketNotifier. Each system
// has its own (wake_up/); the build chooses one with KEYFLIP_WAKE_UP, so the
// others can be built and tested on Linux too.
#if defined(KEYFLIP_WAKE_UP_EVENTFD) || \
    (defined(__linux__) && !defined(KEYFLIP_WAKE_UP_PIPE) && !defined(KEYFLIP_WAKE_UP_SOCKET))
#include "wake_up/eventfd_wake.h"
namespace keyflip {
using WakeDescriptor = EventFdWake;
}
#elif defined(KEYFLIP_WAKE_UP_SOCKET) || defined(_WIN32)
#include "wake_up/loopback_socket_wake.h"
namespace keyflip {
using WakeDescriptor = LoopbackSocketWake;
}
#else
#include "wake_up/pipe_wake.h"
namespace keyflip {
using WakeDescriptor = PipeWake;
}
#endif
