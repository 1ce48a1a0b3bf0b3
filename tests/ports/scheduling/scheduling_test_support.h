#pragma once

// For the scheduling tests: a private bus that the program takes for the
// system bus, a stand-in RealtimeKit on it, and a parked thread to raise.

#include "scheduling/thread_scheduling.h"

#include <QProcess>
#include <QStringList>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace keyflip::scheduling::testing {

// Whether the private bus is up; set by the tests' environment.
bool privateBusRunning();
// Whether this process may raise others' threads, as the stand-in must.
bool mayRaiseOthers();
// Whether a lowered hard limit can be raised again (CAP_SYS_RESOURCE).
bool mayRaiseHardLimits();

// The stand-in service (realtime_kit_stand_in) with the given arguments,
// stopped when this goes.
class StandInKit {
public:
    explicit StandInKit(const QStringList& arguments);
    ~StandInKit();
    StandInKit(const StandInKit&) = delete;
    StandInKit& operator=(const StandInKit&) = delete;

    bool ready() const { return ready_; }
    // Waits, a few seconds at most, until the stand-in has printed count
    // lines besides "ready"; returns those printed.
    std::vector<std::string> lines(std::size_t count);

private:
    QProcess process_;
    std::string output_;
    bool ready_ = false;
};

// A thread that waits until this goes, for its scheduling to be changed.
class ParkedThread {
public:
    ParkedThread();
    ~ParkedThread();
    ParkedThread(const ParkedThread&) = delete;
    ParkedThread& operator=(const ParkedThread&) = delete;

    ThreadId id() const { return id_; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    ThreadId id_ = 0;
    bool release_ = false;
    std::thread thread_;
};

int policyOf(ThreadId thread);  // without SCHED_RESET_ON_FORK
int priorityOf(ThreadId thread);
int niceOf(ThreadId thread);

}  // namespace keyflip::scheduling::testing
