#include "scheduling/scheduling_choice.h"

#include <gtest/gtest.h>

#include <string>

namespace keyflip::scheduling {
namespace {

using std::chrono::milliseconds;

constexpr RunLimit kNoRunLimit{};
constexpr RealtimeKitOffer kDefaultKit{20, -15, 200'000};  // RealtimeKit's own defaults

Limits rtprio(int max, RunLimit run = kNoRunLimit) {
    Limits limits;
    limits.realtimePriorityMax = max;
    limits.run = run;
    return limits;
}

Limits niceFloor(int floor, int current = 0) {
    Limits limits;
    limits.niceFloor = floor;
    limits.currentNice = current;
    return limits;
}

Plan realtime(Way way, int priority, RunLimit run, milliseconds busy) {
    return {way, priority, 0, run, busy};
}

Plan nice(Way way, int value) {
    return {way, 0, value, std::nullopt, kBusyLimit};
}

struct Case {
    const char* name;
    Findings findings;
    Plan expected;
};

TEST(SchedulingChoiceTest, TakesTheBestWayTheFindingsAllow) {
    Limits root;
    root.privileged = true;
    const Case cases[] = {
        {"privileged: real time at the wanted priority, SIGXCPU at 200 ms",
         {root, std::nullopt, 0},
         realtime(Way::Realtime, 3, {200'000, kUnlimited}, milliseconds(50))},
        {"RLIMIT_RTPRIO 95, as jackd2 gives the audio group; RealtimeKit unasked",
         {rtprio(95), kDefaultKit, 0},
         realtime(Way::Realtime, 3, {200'000, kUnlimited}, milliseconds(50))},
        {"RLIMIT_RTPRIO below the wanted priority: its own maximum",
         {rtprio(2), std::nullopt, 0},
         realtime(Way::Realtime, 2, {200'000, kUnlimited}, milliseconds(50))},
        {"a hard RLIMIT_RTTIME already set: the soft one goes to half of it",
         {rtprio(95, {kUnlimited, 100'000}), std::nullopt, 0},
         realtime(Way::Realtime, 3, {50'000, 100'000}, milliseconds(25))},
        {"a lower soft RLIMIT_RTTIME is kept, and the pump drops sooner",
         {rtprio(95, {10'000, kUnlimited}), std::nullopt, 0},
         realtime(Way::Realtime, 3, {10'000, kUnlimited}, milliseconds(5))},
        {"no RLIMIT_RTPRIO: RealtimeKit, with RLIMIT_RTTIME at its maximum",
         {rtprio(0), kDefaultKit, 0},
         realtime(Way::RealtimeThroughKit, 3, {100'000, 200'000}, milliseconds(50))},
        {"RealtimeKit allows less than the wanted priority",
         {rtprio(0), RealtimeKitOffer{2, -15, 200'000}, 0},
         realtime(Way::RealtimeThroughKit, 2, {100'000, 200'000}, milliseconds(50))},
        {"a hard RLIMIT_RTTIME below RealtimeKit's maximum is kept",
         {rtprio(0, {kUnlimited, 50'000}), kDefaultKit, 0},
         realtime(Way::RealtimeThroughKit, 3, {25'000, 50'000}, milliseconds(12))},
        {"the direct way was refused: RealtimeKit next",
         {rtprio(95), kDefaultKit, bitOf(Way::Realtime)},
         realtime(Way::RealtimeThroughKit, 3, {100'000, 200'000}, milliseconds(50))},
        {"RealtimeKit refused real time: its nice level",
         {rtprio(0), kDefaultKit, bitOf(Way::RealtimeThroughKit)},
         nice(Way::NiceThroughKit, -11)},
        {"RealtimeKit offers no real-time priority",
         {rtprio(0), RealtimeKitOffer{0, -15, 200'000}, 0},
         nice(Way::NiceThroughKit, -11)},
        {"RealtimeKit allows no run time: no real time through it",
         {rtprio(0), RealtimeKitOffer{20, -15, 0}, 0},
         nice(Way::NiceThroughKit, -11)},
        {"no RealtimeKit, RLIMIT_NICE 25", {niceFloor(-5), std::nullopt, 0}, nice(Way::Nice, -5)},
        {"both nice ways reach the wanted nice: the one without D-Bus",
         {niceFloor(-20), kDefaultKit, bitOf(Way::RealtimeThroughKit)},
         nice(Way::Nice, -11)},
        {"RealtimeKit allows a lower nice than RLIMIT_NICE",
         {niceFloor(-2), RealtimeKitOffer{0, -5, 200'000}, 0},
         nice(Way::NiceThroughKit, -5)},
        {"privileged, real time refused: nice at the wanted level",
         {root, std::nullopt, bitOf(Way::Realtime)},
         nice(Way::Nice, -11)},
        {"both nice ways refused",
         {niceFloor(-20), kDefaultKit,
          bitOf(Way::RealtimeThroughKit) | bitOf(Way::Nice) | bitOf(Way::NiceThroughKit)},
         Plan{}},
        {"no rights at all", {niceFloor(0), std::nullopt, 0}, Plan{}},
        {"already nicer than the wanted level: left alone",
         {niceFloor(-20, -15), std::nullopt, 0},
         Plan{}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chooseScheduling(c.findings), c.expected);
    }
}

TEST(SchedulingChoiceTest, AReaderOneStepAboveStaysWithinTheLimits) {
    const int reader = kWindowThreadPriority + 1;
    EXPECT_EQ(chooseScheduling({rtprio(95), std::nullopt, 0}, reader).priority, 4);
    EXPECT_EQ(chooseScheduling({rtprio(3), std::nullopt, 0}, reader).priority, 3);
    EXPECT_EQ(chooseScheduling({rtprio(0), RealtimeKitOffer{3, -15, 200'000}, 0}, reader).priority,
              3);
}

TEST(SchedulingChoiceTest, TheLineSaysWhatWasGotAndThroughWhat) {
    const struct {
        Findings findings;
        const char* said;
    } cases[] = {
        {{rtprio(95), std::nullopt, 0},
         "real-time priority 3 (SCHED_RR), allowed by RLIMIT_RTPRIO 95"},
        {{rtprio(0), kDefaultKit, 0},
         "real-time priority 3 (SCHED_RR), granted through RealtimeKit"},
        {{rtprio(0), RealtimeKitOffer{0, -15, 0}, 0}, "nice -11, granted through RealtimeKit"},
        {{niceFloor(-5), std::nullopt, 0}, "nice -5, allowed by RLIMIT_NICE"},
        {{niceFloor(0), std::nullopt, 0}, "normal priority"},
    };
    for (const auto& c : cases) {
        const std::string line =
            describePlan(chooseScheduling(c.findings), c.findings, "window thread");
        EXPECT_EQ(line.rfind("Keyflip: the window thread runs at ", 0), 0U) << line;
        EXPECT_NE(line.find(c.said), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace keyflip::scheduling
