#include "scheduling_test_support.h"

#include <QByteArray>
#include <QCoreApplication>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace keyflip::scheduling::testing {

namespace {

constexpr int kStartTimeoutMs = 10'000;
constexpr auto kLineTimeout = std::chrono::seconds(5);

bool busRunning = false;

// A bus daemon of the tests' own, which the program and the stand-in take
// for the system bus, so no real RealtimeKit is ever asked.
class PrivateBus : public ::testing::Environment {
public:
    void SetUp() override {
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
        if (!daemon_.waitForStarted(kStartTimeoutMs)) {
            return;
        }
        QByteArray address;
        while (!address.contains('\n') && daemon_.waitForReadyRead(kStartTimeoutMs)) {
            address += daemon_.readAllStandardOutput();
        }
        address = address.trimmed();
        if (!address.isEmpty()) {
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
            busRunning = true;
        }
    }
    void TearDown() override {
        daemon_.kill();
        daemon_.waitForFinished();
    }

private:
    QProcess daemon_;
};

const ::testing::Environment* const privateBus =
    ::testing::AddGlobalTestEnvironment(new PrivateBus);

}  // namespace

bool privateBusRunning() {
    return busRunning;
}

namespace {

bool hasCapability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

}  // namespace

bool mayRaiseOthers() {
    return hasCapability(CAP_SYS_NICE);
}

bool mayRaiseHardLimits() {
    return hasCapability(CAP_SYS_RESOURCE);
}

StandInKit::StandInKit(const QStringList& arguments) {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral(KEYFLIP_STAND_IN), arguments);
    if (!process_.waitForStarted(kStartTimeoutMs)) {
        return;
    }
    while (output_.find("ready\n") == std::string::npos &&
           process_.waitForReadyRead(kStartTimeoutMs)) {
        output_ += process_.readAllStandardOutput().toStdString();
    }
    ready_ = output_.find("ready\n") != std::string::npos;
    output_.erase(0, output_.find("ready\n") + 6);
}

StandInKit::~StandInKit() {
    process_.kill();
    process_.waitForFinished();
}

std::vector<std::string> StandInKit::lines(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kLineTimeout;
    const auto countLines = [this] {
        return static_cast<std::size_t>(std::count(output_.begin(), output_.end(), '\n'));
    };
    output_ += process_.readAllStandardOutput().toStdString();
    while (countLines() < count && std::chrono::steady_clock::now() < deadline) {
        if (process_.waitForReadyRead(100)) {
            output_ += process_.readAllStandardOutput().toStdString();
        }
    }
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = output_.find('\n', start)) != std::string::npos; start = end + 1) {
        result.push_back(output_.substr(start, end - start));
    }
    return result;
}

ParkedThread::ParkedThread()
    : thread_([this] {
          std::unique_lock lock(mutex_);
          id_ = currentThreadId();
          changed_.notify_all();
          changed_.wait(lock, [this] { return release_; });
      }) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return id_ != 0; });
}

ParkedThread::~ParkedThread() {
    {
        std::lock_guard lock(mutex_);
        release_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

int policyOf(ThreadId thread) {
    return sched_getscheduler(static_cast<pid_t>(thread)) & ~SCHED_RESET_ON_FORK;
}

int priorityOf(ThreadId thread) {
    sched_param parameters{};
    return sched_getparam(static_cast<pid_t>(thread), &parameters) == 0 ? parameters.sched_priority
                                                                        : -1;
}

int niceOf(ThreadId thread) {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
}

}  // namespace keyflip::scheduling::testing
