#include "scheduling_choice.h"

#include <algorithm>

namespace keyflip::scheduling {

namespace {

constexpr int kNiceFloorPrivileged = -20;

std::int64_t lowerOf(std::int64_t limitUs, std::int64_t candidateUs) {
    return limitUs == kUnlimited ? candidateUs : std::min(limitUs, candidateUs);
}

// The soft limit goes well below the hard one: the kernel sends SIGXCPU at
// the soft limit only while it is below the hard, which kills.
RunLimit runLimitUnder(const RunLimit& now, std::int64_t hardUs) {
    RunLimit limit{kRunWatchUs, hardUs};
    if (hardUs != kUnlimited) {
        limit.softUs = std::min(limit.softUs, hardUs / 2);
    }
    limit.softUs = lowerOf(now.softUs, limit.softUs);
    return limit;
}

// Half the soft limit, so the pump has dropped to normal scheduling long
// before the watchdog speaks, even when the window thread was busy at real
// time on something else just before the flood.
std::chrono::milliseconds busyLimitUnder(const RunLimit& limit) {
    return std::min(kBusyLimit, std::chrono::milliseconds(limit.softUs / 2 / 1000));
}

}  // namespace

bool realtimeAllowedByLimits(const Limits& limits) {
    return limits.privileged || limits.realtimePriorityMax >= 1;
}

Plan chooseScheduling(const Findings& findings, int wantedPriority) {
    const Limits& limits = findings.limits;
    const auto refused = [&findings](Way way) { return (findings.refused & bitOf(way)) != 0; };
    Plan plan;
    if (!refused(Way::Realtime) && realtimeAllowedByLimits(limits)) {
        plan.way = Way::Realtime;
        plan.priority = limits.privileged ? wantedPriority
                                          : std::min(wantedPriority, limits.realtimePriorityMax);
        plan.runLimit = runLimitUnder(limits.run, limits.run.hardUs);
        plan.busyLimit = busyLimitUnder(*plan.runLimit);
        return plan;
    }
    const std::optional<RealtimeKitOffer>& kit = findings.realtimeKit;
    if (!refused(Way::RealtimeThroughKit) && kit && kit->maxRealtimePriority >= 1 &&
        kit->runTimeMaxUs > 0) {
        plan.way = Way::RealtimeThroughKit;
        plan.priority = std::min(wantedPriority, kit->maxRealtimePriority);
        plan.runLimit = runLimitUnder(limits.run, lowerOf(limits.run.hardUs, kit->runTimeMaxUs));
        plan.busyLimit = busyLimitUnder(*plan.runLimit);
        return plan;
    }
    // The lower nice of the two wins; on a tie, the one without a D-Bus call.
    const int direct =
        refused(Way::Nice)
            ? limits.currentNice
            : std::max(kWantedNice, limits.privileged ? kNiceFloorPrivileged : limits.niceFloor);
    const int throughKit = !refused(Way::NiceThroughKit) && kit
                               ? std::max(kWantedNice, kit->minNiceLevel)
                               : limits.currentNice;
    if (direct < limits.currentNice && direct <= throughKit) {
        plan.way = Way::Nice;
        plan.nice = direct;
    } else if (throughKit < limits.currentNice) {
        plan.way = Way::NiceThroughKit;
        plan.nice = throughKit;
    } else {
        return plan;
    }
    plan.busyLimit = kBusyLimit;
    return plan;
}

std::string describePlan(const Plan& plan, const Findings& findings, const char* thread) {
    const std::string start = std::string("Keyflip: the ") + thread + " runs at ";
    const std::string realtime =
        "real-time priority " + std::to_string(plan.priority) + " (SCHED_RR), ";
    const std::string nice = "nice " + std::to_string(plan.nice) + ", ";
    switch (plan.way) {
        case Way::Realtime:
            return start + realtime +
                   (findings.limits.privileged
                        ? std::string("allowed to a privileged user")
                        : "allowed by RLIMIT_RTPRIO " +
                              std::to_string(findings.limits.realtimePriorityMax));
        case Way::RealtimeThroughKit:
            return start + realtime + "granted through RealtimeKit";
        case Way::NiceThroughKit:
            return start + nice + "granted through RealtimeKit (real-time scheduling was not)";
        case Way::Nice:
            return start + nice + "allowed by RLIMIT_NICE (real-time scheduling was not)";
        case Way::Unchanged:
            break;
    }
    return start +
           "normal priority: neither RLIMIT_RTPRIO, RLIMIT_NICE nor RealtimeKit allows more "
           "(see Troubleshooting in Keyflip's README)";
}

}  // namespace keyflip::scheduling
