#pragma once

// Checks for tests that send MIDI through a real MIDI system, whatever the
// system: messages that show a lost, doubled or swapped one, whether what
// arrived is what was sent with some left out, and a way to run a case until
// one run of it was not spoiled by the system missing its deadlines.

#include "sanitizers.h"
#include "wire_format.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace keyflip::checks {

// Which sanitizer, if any, this build runs under: its callbacks run many
// times slower, which changes what a run with xruns can show.
#if defined(KEYFLIP_UNDER_THREAD_SANITIZER)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif
#if defined(KEYFLIP_UNDER_THREAD_SANITIZER) || defined(KEYFLIP_UNDER_ADDRESS_SANITIZER)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

// A client late by a whole period has its buffer read by the next client
// while it still writes it: the reader gets events torn between two cycles.
// Under the sanitizers every callback runs many times slower and such runs
// happen, so there only a clean run's checks count; elsewhere a callback
// takes microseconds, and order and integrity are held even in a run with
// xruns.
inline constexpr bool kXrunsExcuseEverything = kUnderSanitizer;

// count messages of every short kind (1, 2 and 3 bytes) over all channels,
// with data that changes from one to the next, so a lost, doubled or swapped
// message shows.
std::vector<WireMessage> mixedMessages(std::size_t count);

// "90 3c 40"
std::string hexBytes(const WireMessage& message);

// Where received stops being sent with some messages left out, said in a
// sentence; nothing when every received message is the next one still to
// come from sent. A real-time MIDI system drops what a client wrote in a
// cycle it missed (an xrun), so an xrun may shorten the list, but a changed,
// doubled, swapped or foreign message is never its doing.
std::optional<std::string> departureFromOrder(const std::vector<WireMessage>& sent,
                                              const std::vector<WireMessage>& received);

// Put in a failure message that an xrun cannot excuse (see runUntilClean).
inline constexpr const char* kNotExcusedByXruns = "[not excused by xruns] ";

// sent arrived complete, in order and undamaged. When messages are missing
// but the rest came in order, the failure is one an xrun can excuse; any
// other difference is marked as one it cannot.
::testing::AssertionResult arrivedInOrder(const std::vector<WireMessage>& sent,
                                          const std::vector<WireMessage>& received);

// Keeps every CPU of the machine busy, at the lowest priority, while it
// lives. On a virtual machine an idle virtual CPU is halted, and waking it
// for a real-time thread can take many milliseconds, longer than a period:
// the server reports an xrun. A CPU that is never idle is never halted, and
// any other thread that wants it takes it at once.
class CpuKeepAwake {
public:
    CpuKeepAwake();
    ~CpuKeepAwake();
    CpuKeepAwake(const CpuKeepAwake&) = delete;
    CpuKeepAwake& operator=(const CpuKeepAwake&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> spinners_;
};

struct RunHooks {
    // Before each run; false when the run cannot start (the hook said why).
    std::function<bool(int run)> beforeRun;
    // After each run: the xruns that may have spoiled it.
    std::function<std::uint64_t()> xrunsInRun;
};

// Runs one case until a run of it sees no xrun, while the CPUs are kept
// awake. An xrun means the system itself may have dropped events, so the
// failures of such a run do not count, except those marked
// kNotExcusedByXruns (order, integrity), which end the case at once; the
// case then runs again, up to 8 runs started within a minute. A case that
// gets no clean run says so and fails: it is never skipped.
void runUntilClean(const std::function<void()>& body, const RunHooks& hooks);

}  // namespace keyflip::checks
