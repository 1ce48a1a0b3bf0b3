// keyflip_bench_relay [--timing keep-offset|frame-zero]
//
// Keyflip's real main window, for scripts/bench, on the JACK backend with the
// given output timing, or with KEYFLIP_MIDI_SYSTEM set on the system it
// names, chosen as the program chooses it. "go" is
// pressed in-process and MIDI Setup is left with Ok on the program's own
// ports, so the script connects them itself. It prints "shown <ns>" with
// CLOCK_REALTIME when the window is first exposed, "ready" once both ports
// are started, and ends like File > Exit on SIGTERM or SIGINT. On SIGUSR1 it
// prints "traffic received=N written=M late=L": the messages JACK handed to
// Keyflip's input and those written into its output so far, and the cycles
// whose process callback finished after the period had ended.

#include "backend_selection.h"
#include "jack/jack_backend.h"
#include "main_window.h"
#include "program_host.h"
#include "qt_event_loop.h"
#include "scheduling/short_time_slices.h"
#include "scheduling/window_thread_scheduling.h"
#include "setup_dialog.h"
#include "termination_signals.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

using namespace keyflip;

class BenchHost : public ProgramHost {
public:
    // The own ports, so that nothing is connected behind the script's back.
    void showModal(MIDISetupForm& form) override {
        form.ComboMidiIn->setCurrentIndex(form.ComboMidiIn->count() - 1);
        form.ComboMidiOut->setCurrentIndex(0);
        form.CmdOk->click();
    }
    void showMessage(QWidget*, BoxKind, const QString&, const QString& text) override {
        std::fprintf(stderr, "box: %s\n", text.toLocal8Bit().constData());
    }
    void endProgram(int status) override { QCoreApplication::exit(status); }
};

class ExposeWatch : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && !reported_) {
            reported_ = true;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("shown %lld\n",
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool reported_ = false;
};

// SIGUSR1 is blocked in every thread and read here from a signalfd, on the
// UI thread.
class TrafficReport : public QObject {
public:
    explicit TrafficReport(const MidiBackend& backend)
        : backend_(backend), fd_(signalfd(-1, &usr1(), SFD_NONBLOCK | SFD_CLOEXEC)) {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { report(); });
    }
    ~TrafficReport() override { ::close(fd_); }
    TrafficReport(const TrafficReport&) = delete;
    TrafficReport& operator=(const TrafficReport&) = delete;

    static const sigset_t& usr1() {
        static const sigset_t set = [] {
            sigset_t mask;
            sigemptyset(&mask);
            sigaddset(&mask, SIGUSR1);
            return mask;
        }();
        return set;
    }

private:
    void report() {
        signalfd_siginfo info{};
        while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
#if defined(KEYFLIP_HAVE_JACK)
        if (const std::optional<JackPortTraffic> traffic = jackPortTraffic(backend_)) {
            std::printf("traffic received=%llu written=%llu late=%llu\n",
                        static_cast<unsigned long long>(traffic->received),
                        static_cast<unsigned long long>(traffic->written),
                        static_cast<unsigned long long>(traffic->lateCycles));
            std::fflush(stdout);
        }
#endif
    }

    const MidiBackend& backend_;
    int fd_;
    QSocketNotifier notifier_{fd_, QSocketNotifier::Read};
};

std::unique_ptr<MidiBackend> createBackend([[maybe_unused]] JackOutputTiming timing) {
#if defined(KEYFLIP_HAVE_JACK)
    if (!qEnvironmentVariableIsSet(kMidiSystemVariable)) {
        return createJackBackend(timing);
    }
#endif
    return createSystemBackend();
}

}  // namespace

int main(int argc, char* argv[]) {
    JackOutputTiming timing = JackOutputTiming::KeepOffset;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timing") == 0 && i + 1 < argc) {
            ++i;
            timing = std::strcmp(argv[i], "frame-zero") == 0 ? JackOutputTiming::FrameZero
                                                             : JackOutputTiming::KeepOffset;
        }
    }
    // Before any thread starts, so that every thread inherits the mask.
    pthread_sigmask(SIG_BLOCK, &TrafficReport::usr1(), nullptr);
    useQtEventLoop();
    QApplication application(argc, argv);
    // As the program does: the UI thread passes every message on.
    static_cast<void>(requestShortTimeSlices());
    const std::unique_ptr<WindowThreadScheduling> scheduling = createWindowThreadScheduling();
    TerminationSignals terminationSignals;
    const std::unique_ptr<MidiBackend> backend = createBackend(timing);
    backend->setWindowThreadScheduling(scheduling.get());
    TrafficReport trafficReport(*backend);
    BenchHost host;
    frmMain window(*backend, host);
    QObject::connect(&terminationSignals, &TerminationSignals::received, &window,
                     [&window] { window.boundary().run([&window] { window.Exit(); }); });
    ExposeWatch watch;
    // The native window must exist before its first expose can be watched.
    static_cast<void>(window.winId());
    window.windowHandle()->installEventFilter(&watch);
    window.show();
    QTimer::singleShot(0, &window, [&window] {
        window.Command1->click();
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return QApplication::exec();
}
