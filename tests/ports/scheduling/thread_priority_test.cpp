#include "scheduling/thread_scheduling.h"

#include <QProcess>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace keyflip::scheduling {
namespace {

constexpr int kStartTimeoutMs = 10'000;

bool hasCapability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

// A bus daemon of the test's own, which the program and the stand-in take
// for the system bus, so no real RealtimeKit is ever asked.
class PrivateBus : public ::testing::Environment {
public:
    static bool running() { return running_; }

    void SetUp() override {
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
        QByteArray address;
        while (daemon_.waitForStarted(kStartTimeoutMs) && !address.contains('\n') &&
               daemon_.waitForReadyRead(kStartTimeoutMs)) {
            address += daemon_.readAllStandardOutput();
        }
        running_ = !address.trimmed().isEmpty();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.trimmed());
    }
    void TearDown() override {
        daemon_.kill();
        daemon_.waitForFinished();
    }

private:
    static inline bool running_ = false;
    QProcess daemon_;
};

const ::testing::Environment* const privateBus =
    ::testing::AddGlobalTestEnvironment(new PrivateBus);

// realtime_kit_stand_in with the given arguments, stopped when this goes.
class StandInKit {
public:
    explicit StandInKit(const std::string& arguments) {
        process_.start(QStringLiteral(KEYFLIP_STAND_IN),
                       QString::fromStdString(arguments).split(u' ', Qt::SkipEmptyParts));
        while (process_.waitForStarted(kStartTimeoutMs) && !(ready_ = takeLine("ready")) &&
               process_.waitForReadyRead(kStartTimeoutMs)) {
        }
    }
    ~StandInKit() {
        process_.kill();
        process_.waitForFinished();
    }

    bool ready() const { return ready_; }
    // The lines printed after "ready", once count of them are in or a few
    // seconds have passed.
    std::vector<std::string> lines(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        output_ += process_.readAllStandardOutput().toStdString();
        while (static_cast<std::size_t>(std::count(output_.begin(), output_.end(), '\n')) < count &&
               std::chrono::steady_clock::now() < deadline) {
            process_.waitForReadyRead(100);
            output_ += process_.readAllStandardOutput().toStdString();
        }
        std::vector<std::string> result;
        for (std::size_t start = 0, end; (end = output_.find('\n', start)) != std::string::npos;
             start = end + 1) {
            result.push_back(output_.substr(start, end - start));
        }
        return result;
    }

private:
    bool takeLine(const std::string& line) {
        output_ += process_.readAllStandardOutput().toStdString();
        const std::size_t at = output_.find(line + '\n');
        if (at != std::string::npos) {
            output_.erase(0, at + line.size() + 1);
        }
        return at != std::string::npos;
    }

    QProcess process_;
    std::string output_;
    bool ready_ = false;
};

// A thread that waits until this goes, for its scheduling to be changed.
class ParkedThread {
public:
    ParkedThread()
        : thread_([this] {
              std::unique_lock lock(mutex_);
              id_ = currentThreadId();
              changed_.notify_all();
              changed_.wait(lock, [this] { return release_; });
          }) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return id_ != 0; });
    }
    ~ParkedThread() {
        {
            const std::lock_guard lock(mutex_);
            release_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    ThreadId id() const { return id_; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    ThreadId id_ = 0;
    bool release_ = false;
    std::thread thread_;
};

// A thread's policy (without SCHED_RESET_ON_FORK), real-time priority and nice.
struct State {
    int policy;
    int priority;
    int nice;
    bool operator==(const State&) const = default;
};

State stateOf(ThreadId thread) {
    sched_param parameters{};
    sched_getparam(static_cast<pid_t>(thread), &parameters);
    return {sched_getscheduler(static_cast<pid_t>(thread)) & ~SCHED_RESET_ON_FORK,
            parameters.sched_priority, getpriority(PRIO_PROCESS, static_cast<id_t>(thread))};
}

rlimit runLimitNow() {
    rlimit limit{};
    getrlimit(RLIMIT_RTTIME, &limit);
    return limit;
}

// The limits as found, but for RLIMIT_RTPRIO and RLIMIT_NICE's floor.
ThreadPriority::LimitsSource withRights(int realtimePriorityMax, int niceFloor) {
    return [=](ThreadId thread) {
        Limits limits = readLimits(thread);
        limits.privileged = false;
        limits.realtimePriorityMax = realtimePriorityMax;
        limits.niceFloor = niceFloor;
        return limits;
    };
}

struct Case {
    const char* name;
    int realtimePriorityMax;
    int niceFloor;
    const char* kit;  // the stand-in's arguments; nullptr for none on the bus
    Way way;
    State got;
    std::vector<std::string> asked;  // of the stand-in, TID for the thread's id
};

constexpr State kNormal{SCHED_OTHER, 0, 0};

TEST(ThreadPriorityTest, AsksWhatTheLimitsAndRealtimeKitAllowAndGivesItBack) {
    if (!PrivateBus::running()) {
        GTEST_SKIP() << "no private bus: dbus-daemon is missing (scripts/install-deps)";
    }
    if (!hasCapability(CAP_SYS_NICE)) {
        GTEST_SKIP() << "the stand-in RealtimeKit must raise this process's threads, which "
                        "needs CAP_SYS_NICE: run as root";
    }
    const Case cases[] = {
        {"RLIMIT_RTPRIO allows real time: RealtimeKit is not asked",
         95,
         20,
         "",
         Way::Realtime,
         {SCHED_RR, 3, 0},
         {}},
        {"no rights: RealtimeKit grants real time",
         0,
         20,
         "",
         Way::RealtimeThroughKit,
         {SCHED_RR, 3, 0},
         {"realtime TID 3 ok"}},
        {"RealtimeKit's maximum priority is lower",
         0,
         20,
         "--max-priority 2",
         Way::RealtimeThroughKit,
         {SCHED_RR, 2, 0},
         {"realtime TID 2 ok"}},
        {"RealtimeKit refuses real time: its nice level",
         0,
         20,
         "--refuse-realtime",
         Way::NiceThroughKit,
         {SCHED_OTHER, 0, -11},
         {"realtime TID 3 refused", "nice TID -11 ok"}},
        {"RealtimeKit refuses both: what RLIMIT_NICE allows",
         0,
         -5,
         "--refuse-realtime --refuse-nice",
         Way::Nice,
         {SCHED_OTHER, 0, -5},
         {"realtime TID 3 refused", "nice TID -11 refused"}},
        {"RealtimeKit owns its name but never answers: what RLIMIT_NICE allows",
         0,
         -5,
         "--hang",
         Way::Nice,
         {SCHED_OTHER, 0, -5},
         {}},
        {"no RealtimeKit and no rights: left as it was",
         0,
         20,
         nullptr,
         Way::Unchanged,
         kNormal,
         {}},
    };
    const bool hardLimitsGoBackUp = hasCapability(CAP_SYS_RESOURCE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<StandInKit> kit;
        if (c.kit != nullptr) {
            kit = std::make_unique<StandInKit>(c.kit);
            ASSERT_TRUE(kit->ready());
        }
        const ParkedThread thread;
        const rlimit runBefore = runLimitNow();
        {
            ThreadPriority priority(thread.id(), kWindowThreadPriority,
                                    withRights(c.realtimePriorityMax, c.niceFloor));
            EXPECT_TRUE(priority.take());
            EXPECT_EQ(priority.plan().way, c.way);
            EXPECT_EQ(stateOf(thread.id()), c.got);
            if (c.way == Way::RealtimeThroughKit) {
                EXPECT_LE(runLimitNow().rlim_max, 200'000U);
                EXPECT_LT(runLimitNow().rlim_cur, runLimitNow().rlim_max)
                    << "SIGXCPU must come before SIGKILL";
            }
            if (kit) {
                std::vector<std::string> expected = c.asked;
                for (std::string& line : expected) {
                    line.replace(line.find("TID"), 3, std::to_string(thread.id()));
                }
                EXPECT_EQ(kit->lines(expected.size()), expected);
            }
            priority.giveBack();
            EXPECT_EQ(stateOf(thread.id()), kNormal);
            EXPECT_FALSE(priority.take()) << "decided once";
            EXPECT_EQ(stateOf(thread.id()), c.got) << "raised again as decided";
        }
        EXPECT_EQ(stateOf(thread.id()), kNormal);
        const rlimit runAfter = runLimitNow();
        // Only a privileged process can raise a lowered hard limit again.
        if (hardLimitsGoBackUp || runAfter.rlim_max == runBefore.rlim_max) {
            EXPECT_EQ(runAfter.rlim_cur, runBefore.rlim_cur);
            EXPECT_EQ(runAfter.rlim_max, runBefore.rlim_max);
        } else {
            EXPECT_LT(runAfter.rlim_cur, runAfter.rlim_max) << "SIGXCPU still comes first";
        }
    }
}

}  // namespace
}  // namespace keyflip::scheduling
