#include "incoming_queue.h"
#include "input_port.h"
#include "port_members.h"
#include "scheduling/window_thread_priority.h"

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace keyflip {
namespace {

using scheduling::readLimits;
using scheduling::WindowThreadPriority;

// The flood goes on until both are reached: a million messages, and so much
// of the pump's time that the bound it drops at is a small part of it,
// however fast the machine takes a message.
constexpr std::size_t kFloodAtLeast = 1'000'000;
constexpr double kPumpSecondsAtLeast = 1.0;
constexpr auto kDeadline = std::chrono::minutes(3);
// A normal thread beside a real-time one that never sleeps gets what the
// kernel's throttling leaves it, 5 % of the core; sharing it fairly, about
// as much as the pump.
constexpr double kFairShareAtLeast = 0.25;

// A MIDI system that only floods the input, and logs nothing.
class FloodBackend final : public MidiBackend {
public:
    QString systemName() const override { return QStringLiteral("flood"); }
    std::optional<QString> unreachableReason() override { return std::nullopt; }
    std::vector<std::string> sourceNames() override { return {}; }
    std::vector<std::string> destinationNames() override { return {}; }
    std::optional<PortFault> openInput(const std::string&) override { return std::nullopt; }
    void closeInput() override {}
    void setInputQueue(IncomingQueue* queue) override { queue_ = queue; }
    std::optional<PortFault> openOutput(const std::string&) override { return std::nullopt; }
    void closeOutput() override {}
    Delivery dispatch(const WireMessage&) override { return Delivery::Everywhere; }
    void flushOutput(std::chrono::milliseconds) override {}

    // Up to count Note Ons, as many as the queue takes, with one wake-up.
    std::size_t push(std::size_t count) {
        std::size_t pushed = 0;
        while (queue_ != nullptr && pushed < count && queue_->push({144, 60, 100})) {
            ++pushed;
        }
        if (pushed > 0) {
            queue_->wake();
        }
        return pushed;
    }

private:
    IncomingQueue* queue_ = nullptr;
};

double secondsOf(clockid_t clock) {
    timespec time{};
    clock_gettime(clock, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

// The pump's thread and a normal one share one core; the queue is kept full
// until the flood's last messages, as a source faster than the pump keeps
// it. The CPU each got is compared, which no hiccup of the machine tilts.
TEST(FloodTest, AFloodDrainedAtRealTimeLeavesANormalThreadOnTheSameCoreRunning) {
    if (!scheduling::realtimeAllowedByLimits(readLimits(scheduling::currentThreadId()))) {
        GTEST_SKIP() << "real-time scheduling is not allowed here (no RLIMIT_RTPRIO, no "
                        "CAP_SYS_NICE)";
    }
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);

    std::atomic<bool> stop{false};
    std::thread normal([&stop] {
        while (!stop.load(std::memory_order_relaxed)) {
        }
    });
    clockid_t normalClock{};
    ASSERT_EQ(pthread_getcpuclockid(normal.native_handle(), &normalClock), 0);

    FloodBackend backend;
    WindowThreadPriority priority(readLimits, [](const std::string&) {});
    backend.setWindowThreadScheduling(&priority);
    MidiInputPort input(backend);
    QEventLoop loop;
    std::size_t pushed = 0;
    std::size_t taken = 0;
    bool flooding = true;
    double pumpBefore = 0;
    QObject::connect(&input, &MidiInputPort::Message, [&] {
        while (input.pendingCount() > 0) {
            static_cast<void>(input.msgStatus());
            input.setPortCommand(MSG_DROP);
            ++taken;
        }
        flooding =
            flooding && (pushed < kFloodAtLeast ||
                         secondsOf(CLOCK_THREAD_CPUTIME_ID) - pumpBefore < kPumpSecondsAtLeast);
        if (flooding) {
            pushed += backend.push(IncomingQueue::kCapacity);
        } else if (taken == pushed) {
            loop.quit();
        }
    });
    input.setDeviceIndex(0);
    input.setPortCommand(PORT_OPEN);
    EXPECT_EQ(sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, SCHED_RR);
    input.setPortCommand(PORT_START);
    const double normalBefore = secondsOf(normalClock);
    pumpBefore = secondsOf(CLOCK_THREAD_CPUTIME_ID);
    pushed += backend.push(IncomingQueue::kCapacity);
    QTimer::singleShot(kDeadline, &loop, &QEventLoop::quit);
    loop.exec();
    const double normalGot = secondsOf(normalClock) - normalBefore;
    const double pumpGot = secondsOf(CLOCK_THREAD_CPUTIME_ID) - pumpBefore;
    input.setPortCommand(PORT_CLOSE);
    stop.store(true, std::memory_order_relaxed);
    normal.join();
    sched_setaffinity(0, sizeof before, &before);

    ASSERT_FALSE(flooding) << "the flood did not end within " << kDeadline.count() << " min";
    ASSERT_EQ(taken, pushed);
    EXPECT_GE(normalGot, kFairShareAtLeast * pumpGot)
        << "the normal thread ran " << normalGot << " s while the pump ran " << pumpGot << " s";
}

}  // namespace
}  // namespace keyflip
