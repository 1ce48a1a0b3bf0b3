#pragma once

namespace keyflip {

// The time slice the UI thread asks for: it works for microseconds each time
// a message wakes it.
inline constexpr long long kShortTimeSliceNs = 100'000;

// Asks the kernel to run the calling thread in short time slices (Linux 6.12
// and later honour it; earlier kernels accept and ignore it). A thread that
// asks for a shorter slice than the running one preempts it when woken, so the
// UI thread passes a message on at once even beside programs that keep the
// CPUs busy at the same priority, instead of waiting for their slices to end
// (milliseconds, longer than a short JACK period). The thread's policy and
// nice value stay as they are; a real-time thread is left alone. False when
// the kernel refused or the system has no such request.
bool requestShortTimeSlices();

}  // namespace keyflip
