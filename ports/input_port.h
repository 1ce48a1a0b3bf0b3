#pragma once

#include "midi_backend.h"
#include "port_members.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keyflip {

class IncomingQueue;
class PeerRejoin;
class PortAccessLog;

// The input port object. Messages the backend queues on the MIDI system's
// thread are announced by Message, once per batch, on the UI thread.
class MidiInputPort : public QObject, public InputPortMembers {
    Q_OBJECT
    Q_PROPERTY(qint16 PortCommand READ portCommand WRITE setPortCommand)
    Q_PROPERTY(qint16 DeviceIndex READ deviceIndex WRITE setDeviceIndex)
    Q_PROPERTY(QString DeviceName READ deviceName)
    Q_PROPERTY(qint16 DeviceCount READ deviceCount)
    Q_PROPERTY(qint16 PortState READ portState)
    Q_PROPERTY(qint16 PendingCount READ pendingCount)
    Q_PROPERTY(qint16 MsgStatus READ msgStatus)
    Q_PROPERTY(qint16 MsgData1 READ msgData1)
    Q_PROPERTY(qint16 MsgData2 READ msgData2)

public:
    explicit MidiInputPort(MidiBackend& backend, QObject* parent = nullptr);
    ~MidiInputPort() override;

    std::int16_t portCommand() const { return lastCommand_; }
    void setPortCommand(std::int16_t code) override;
    std::int16_t deviceIndex();
    void setDeviceIndex(std::int16_t index);
    QString deviceName();
    std::int16_t deviceCount();
    std::int16_t portState();
    std::int16_t pendingCount() override;
    std::int16_t msgStatus() override;
    std::int16_t msgData1() override;
    std::int16_t msgData2() override;

private:
    // The batch the UI thread is passing on now; none has a deadline. The
    // clock is read every few messages only, and the deadline set at the
    // first reading: where reading it is a system call (a virtual machine
    // without vDSO), a lone message is passed on without one.
    struct RunningBatch {
        std::optional<std::chrono::steady_clock::time_point> deadline;
        std::uint32_t asked = 0;
        bool yielded = false;
        bool overBudget();
    };

signals:
    // Messages are waiting; raised once per batch while the port is started.
    void Message();
    void PortError(qint16& code, QString& text);
    // Nothing more from the source will be passed on: it went away while
    // open (what had arrived from it has been passed on), or the input was
    // stopped or closed. Whoever remembers notes held from it must release
    // them, for their Note Offs will never come through.
    void SourceLost();

private:
    void open();
    void close();
    void closeOnCommand();
    void start();
    void passOn(RunningBatch* batch);
    void stop();
    void onWake();
    void tellScheduling(bool yielded, std::chrono::steady_clock::time_point batchStart,
                        bool drained);
    bool reopen(const std::string& source, bool started);
    void onConnectionLost(PortSide side, qint16 code, const QString& text);
    void onPeerLeft(PortSide side, const std::string& name);
    void dropSource();
    void report(std::int16_t code, const QString& text);
    void refreshDevices();

    MidiBackend& backend_;
    PortAccessLog* log_;
    std::unique_ptr<IncomingQueue> queue_;
    RunningBatch* batch_ = nullptr;
    bool passingOn_ = false;
    PeerRejoin* rejoin_;
    std::vector<std::string> devices_;  // as last listed; the own port is last
    bool devicesListed_ = false;
    std::int16_t deviceIndex_ = 0;
    std::int16_t state_ = PORT_STATE_CLOSED;
    std::int16_t lastCommand_ = 0;
};

}  // namespace keyflip
