// realtime_kit_stand_in [--max-priority N] [--refuse-realtime] [--refuse-nice]
//                       [--hang]
//
// Stands in for RealtimeKit on the bus DBUS_SYSTEM_BUS_ADDRESS names: owns
// org.freedesktop.RealtimeKit1, answers its three properties, and raises the
// caller's thread as the service does, refusing what the service would
// refuse (a thread not of the caller, a priority or nice beyond its maxima,
// an RLIMIT_RTTIME above RTTimeUSecMax). It must run as root to raise
// another process's thread. It prints "ready" once it owns the name and one
// line for every raise asked for: "realtime TID PRIORITY ok|refused" or
// "nice TID NICE ok|refused". With --hang it owns the name and then never
// answers.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Settings {
    int maxPriority = 20;
    int minNice = -15;
    qint64 runTimeMaxUs = 200'000;
    bool refuseRealtime = false;
    bool refuseNice = false;
    bool hang = false;
};

class StandIn : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(int MaxRealtimePriority READ maxRealtimePriority)
    Q_PROPERTY(int MinNiceLevel READ minNiceLevel)
    Q_PROPERTY(qlonglong RTTimeUSecMax READ runTimeMax)

public:
    explicit StandIn(const Settings& settings) : settings_(settings) {}

    int maxRealtimePriority() const { return settings_.maxPriority; }
    int minNiceLevel() const { return settings_.minNice; }
    qlonglong runTimeMax() const { return settings_.runTimeMaxUs; }

public slots:
    void MakeThreadRealtime(qulonglong thread, uint priority) {
        const pid_t caller = callerPid();
        const bool ok = !settings_.refuseRealtime && callersThread(caller, thread) &&
                        static_cast<int>(priority) <= settings_.maxPriority &&
                        runLimitWithinMax(caller) && raiseRealtime(thread, priority);
        answer("realtime", thread, static_cast<int>(priority), ok);
    }

    void MakeThreadHighPriority(qulonglong thread, int nice) {
        const bool ok = !settings_.refuseNice && callersThread(callerPid(), thread) &&
                        nice >= settings_.minNice &&
                        setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0;
        answer("nice", thread, nice, ok);
    }

private:
    pid_t callerPid() const {
        return static_cast<pid_t>(
            connection().interface()->servicePid(message().service()).value());
    }

    static bool callersThread(pid_t caller, qulonglong thread) {
        const std::string task =
            "/proc/" + std::to_string(caller) + "/task/" + std::to_string(thread);
        return access(task.c_str(), F_OK) == 0;
    }

    // As the service does: a limit must be set, and no higher than its own.
    bool runLimitWithinMax(pid_t caller) const {
        rlimit limit{};
        return prlimit(caller, RLIMIT_RTTIME, nullptr, &limit) == 0 &&
               limit.rlim_max != RLIM_INFINITY &&
               limit.rlim_max <= static_cast<rlim_t>(settings_.runTimeMaxUs) &&
               limit.rlim_cur <= limit.rlim_max;
    }

    static bool raiseRealtime(qulonglong thread, uint priority) {
        sched_param parameters{};
        parameters.sched_priority = static_cast<int>(priority);
        return sched_setscheduler(static_cast<pid_t>(thread), SCHED_RR | SCHED_RESET_ON_FORK,
                                  &parameters) == 0;
    }

    void answer(const char* what, qulonglong thread, int value, bool ok) {
        std::printf("%s %llu %d %s\n", what, thread, value, ok ? "ok" : "refused");
        std::fflush(stdout);
        if (!ok) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("refused"));
        }
    }

    Settings settings_;
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--max-priority") == 0 && i + 1 < argc) {
            settings.maxPriority = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--refuse-realtime") == 0) {
            settings.refuseRealtime = true;
        } else if (std::strcmp(argv[i], "--refuse-nice") == 0) {
            settings.refuseNice = true;
        } else if (std::strcmp(argv[i], "--hang") == 0) {
            settings.hang = true;
        } else {
            std::fprintf(stderr, "realtime_kit_stand_in: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    StandIn standIn(settings);
    if (!bus.registerObject(
            QStringLiteral("/org/freedesktop/RealtimeKit1"), &standIn,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.freedesktop.RealtimeKit1"))) {
        std::fprintf(stderr, "realtime_kit_stand_in: cannot own the name: %s\n",
                     bus.lastError().message().toLocal8Bit().constData());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (settings.hang) {
        // Owns the name, never reads its messages.
        for (;;) {
            pause();
        }
    }
    return QCoreApplication::exec();
}

#include "realtime_kit_stand_in.moc"
