#pragma once

#include <QObject>

#include <chrono>
#include <csignal>
#include <functional>

class QSocketNotifier;

namespace keyflip {

// Turns SIGTERM, SIGINT and SIGHUP (a desktop logging out, Ctrl+C in a
// terminal) into a Qt signal on the UI thread, so the program ends the same
// way as File > Exit: every sounding note is released and the ports closed.
// A desktop logging out sends SIGTERM and at once SIGHUP, so a second signal
// does not cut the first one's release short; SIGALRM bounds its wait.
// Signals ignored when the program started stay ignored.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    // The time the first signal's release may take. A later signal within it
    // waits for the release and, should the release not be over by its end,
    // ends the program then; one after it ends the program at once (the
    // program is stuck, or the user insists).
    static constexpr std::chrono::seconds kReleaseTime{2};

    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

signals:
    void received();

private:
    void onReadable();

    int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previousActions_[3] = {};
    bool installed_[3] = {};
    struct sigaction previousAlarmAction_ = {};
};

// Qt ends the program with exit() when its connection to the display breaks
// (the display server died, or the desktop killed the window), without
// returning to main(). While a ReleaseOnExit lives, such an exit first runs
// its release, so that the notes still sounding are released.
class ReleaseOnExit {
public:
    explicit ReleaseOnExit(std::function<void()> release);
    ~ReleaseOnExit();
    ReleaseOnExit(const ReleaseOnExit&) = delete;
    ReleaseOnExit& operator=(const ReleaseOnExit&) = delete;
};

}  // namespace keyflip
