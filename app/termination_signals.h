#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

namespace keyflip {

// Turns SIGTERM, SIGINT and SIGHUP (a desktop logging out, Ctrl+C in a
// terminal) into a Qt signal on the UI thread, so the program ends the same
// way as File > Exit: every sounding note is released and the ports closed.
// A second signal ends the program at once, in case the first could not.
// Signals ignored when the program started stay ignored.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
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
};

}  // namespace keyflip
