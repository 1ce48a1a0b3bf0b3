#pragma once

// The choice of how a thread that carries MIDI is raised above the programs
// beside it: what the user's limits and the desktop's RealtimeKit allow goes
// in, the way to ask and what to ask for comes out. Pure, so every case is a
// row of a table; applying it is thread_scheduling's.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace keyflip::scheduling {

// SCHED_RR priorities: a few steps above the lowest, below JACK's server and
// its clients' process threads (jackd's defaults: 10 and 5, SCHED_FIFO), so
// Keyflip never delays the audio graph it feeds; at the same priority a
// process thread woken while the pump runs would wait out its time slice.
// A backend's own reading thread goes one step above the window thread,
// which waits on what it reads.
inline constexpr int kWindowThreadPriority = 3;
// Where real time is not to be had: nice -11 made Keyflip's answer the very
// next cycle 99 % of the time beside busy loops at nice 0, measured.
inline constexpr int kWantedNice = -11;

// RLIMIT_RTTIME's "unlimited".
inline constexpr std::int64_t kUnlimited = -1;

// How long a real-time thread may run without sleeping (RLIMIT_RTTIME), in
// microseconds. At the soft limit the kernel sends SIGXCPU, at the hard one
// SIGKILL.
struct RunLimit {
    std::int64_t softUs = kUnlimited;
    std::int64_t hardUs = kUnlimited;
    bool operator==(const RunLimit&) const = default;
};

// What the process may do by itself.
struct Limits {
    bool privileged = false;      // CAP_SYS_NICE: any policy, any nice
    int realtimePriorityMax = 0;  // RLIMIT_RTPRIO (soft)
    int niceFloor = 0;            // the lowest nice RLIMIT_NICE allows: 20 - its value
    int currentNice = 0;          // the thread's now
    RunLimit run;                 // RLIMIT_RTTIME now
};

// What RealtimeKit said of its maxima.
struct RealtimeKitOffer {
    int maxRealtimePriority = 0;
    int minNiceLevel = 0;
    std::int64_t runTimeMaxUs = 0;  // RTTimeUSecMax: RLIMIT_RTTIME must not exceed it
};

enum class Way {
    Unchanged,
    Realtime,            // sched_setscheduler, as the limits allow
    RealtimeThroughKit,  // RealtimeKit's MakeThreadRealtime
    NiceThroughKit,      // RealtimeKit's MakeThreadHighPriority
    Nice,                // setpriority, as RLIMIT_NICE allows
};

struct Findings {
    Limits limits;
    // Nothing when RealtimeKit was not asked or did not answer.
    std::optional<RealtimeKitOffer> realtimeKit;
    // Ways already tried for this thread that were refused: each bit is
    // 1 << Way.
    unsigned refused = 0;
};

inline constexpr unsigned bitOf(Way way) {
    return 1U << static_cast<unsigned>(way);
}

struct Plan {
    Way way = Way::Unchanged;
    int priority = 0;  // the real-time ways
    int nice = 0;      // the nice ways
    // Set before the thread is raised to real time: a watchdog that sends
    // SIGXCPU, which RealtimeKit insists on.
    std::optional<RunLimit> runLimit;
    // How long the pump may pass a flood on without a break at this
    // priority before it drops to normal scheduling.
    std::chrono::milliseconds busyLimit{0};
    bool operator==(const Plan&) const = default;
};

// A real-time thread that has run this long without sleeping gets SIGXCPU
// where nothing tighter is asked: far more than any legitimate piece of work
// on the window thread, short enough that a runaway one hardly shows.
inline constexpr std::int64_t kRunWatchUs = 200'000;
// The pump's bound, when the run limit leaves room for it: a flood at real
// time keeps other programs off the window thread's core this long at most,
// two or three frames of a desktop; a burst of real music (a few thousand
// messages, microseconds each) never takes that long.
inline constexpr std::chrono::milliseconds kBusyLimit{50};

// wantedPriority: the SCHED_RR priority the thread should have.
Plan chooseScheduling(const Findings& findings, int wantedPriority = kWindowThreadPriority);

// Whether the limits alone allow the real-time way, so RealtimeKit need not
// be asked.
bool realtimeAllowedByLimits(const Limits& limits);

// One line for the user: what the named thread got and through what.
std::string describePlan(const Plan& plan, const Findings& findings, const char* thread);

}  // namespace keyflip::scheduling
