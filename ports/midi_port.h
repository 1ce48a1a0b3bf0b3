#pragma once

// The MIDI port component: one input and one output port object. The program
// drives them only by writing members and command codes and by answering
// their Message and PortError events, all on the UI thread. The PortError
// codes and what each means are PortErrorCode, in midi_backend.h.

#include "midi_backend.h"
#include "port_contract.h"
#include "short_message.h"

#include <QObject>
#include <QString>

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace keyflip {

class IncomingQueue;

// The program's own ports, as the device lists name them.
inline constexpr const char* kOwnInputName = "Keyflip in";
inline constexpr const char* kOwnOutputName = "Keyflip out";

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

signals:
    // Messages are waiting; raised once per batch while the port is started.
    void Message();
    void PortError(qint16& code, QString& text);

private:
    void open();
    void close();
    void start();
    void stop();
    void onWake();
    void onConnectionLost(PortSide side, qint16 code, const QString& text);
    void report(std::int16_t code, const QString& text);
    void refreshDevices();

    // The batch the UI thread is passing on now. A nested event loop (a box
    // waiting for the user) may start another, so the outer one is kept aside
    // while the inner one runs.
    struct RunningBatch {
        std::chrono::steady_clock::time_point deadline;
        bool yielded;
    };

    MidiBackend& backend_;
    PortAccessLog* log_;
    std::unique_ptr<IncomingQueue> queue_;
    RunningBatch* batch_ = nullptr;
    QSocketNotifier* wakeNotifier_;
    std::vector<std::string> devices_;  // as last listed; the own port is last
    bool devicesListed_ = false;
    std::int16_t deviceIndex_ = 0;
    std::int16_t state_ = PORT_STATE_CLOSED;
    std::int16_t lastCommand_ = 0;
};

class MidiOutputPort : public QObject, public OutputPortMembers {
    Q_OBJECT
    Q_PROPERTY(qint16 PortCommand READ portCommand WRITE setPortCommand)
    Q_PROPERTY(qint16 DeviceIndex READ deviceIndex WRITE setDeviceIndex)
    Q_PROPERTY(QString DeviceName READ deviceName)
    Q_PROPERTY(qint16 DeviceCount READ deviceCount)
    Q_PROPERTY(qint16 PortState READ portState)
    Q_PROPERTY(qint16 MsgStatus READ msgStatus WRITE setMsgStatus)
    Q_PROPERTY(qint16 MsgData1 READ msgData1 WRITE setMsgData1)
    Q_PROPERTY(qint16 MsgData2 READ msgData2 WRITE setMsgData2)

public:
    explicit MidiOutputPort(MidiBackend& backend, QObject* parent = nullptr);
    ~MidiOutputPort() override;

    std::int16_t portCommand() const { return lastCommand_; }
    void setPortCommand(std::int16_t code) override;
    std::int16_t deviceIndex();
    void setDeviceIndex(std::int16_t index);
    QString deviceName();
    std::int16_t deviceCount();
    std::int16_t portState();
    std::int16_t msgStatus() const { return message_.status; }
    std::int16_t msgData1() const { return message_.data1; }
    std::int16_t msgData2() const { return message_.data2; }
    void setMsgStatus(std::int16_t value) override;
    void setMsgData1(std::int16_t value) override;
    void setMsgData2(std::int16_t value) override;

signals:
    void PortError(qint16& code, QString& text);

private:
    void open();
    void close();
    void send();
    void silenceSoundingNotes();
    void trackSounding(const ShortMessage& sent);
    void onConnectionLost(PortSide side, qint16 code, const QString& text);
    void report(std::int16_t code, const QString& text);
    void refreshDevices();

    MidiBackend& backend_;
    PortAccessLog* log_;
    std::vector<std::string> devices_;  // as last listed, without the default
    bool devicesListed_ = false;
    std::int16_t deviceIndex_ = -1;
    std::int16_t state_ = PORT_STATE_CLOSED;
    std::int16_t lastCommand_ = 0;
    ShortMessage message_;
    // Notes sent and not yet released, so closing never leaves one sounding.
    std::array<std::bitset<128>, 16> soundingNotes_;
    std::uint64_t unsentCount_ = 0;
};

}  // namespace keyflip
