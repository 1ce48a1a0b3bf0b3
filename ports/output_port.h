#pragma once

#include "midi_backend.h"
#include "owed_note_offs.h"
#include "port_members.h"
#include "short_message.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace keyflip {

class PeerRejoin;
class PortAccessLog;

// The output port object. Every Note On it sent is owed a Note Off until one
// follows, and closing the port sends those still owed.
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
    void releaseOwedNotes();
    void sendOwedNoteOffs();
    void resendReleasedNoteOffs();
    void watchReleasedNoteOffs();
    Delivery dispatch(const WireMessage& message);
    bool reopen(const std::string& destination, bool started);
    void onConnectionLost(PortSide side, qint16 code, const QString& text);
    void onPeerLeft(PortSide side, const std::string& name);
    void reportNotOpen();
    void report(std::int16_t code, const QString& text);
    void reportOverflowLater();
    void refreshDevices();

    MidiBackend& backend_;
    PortAccessLog* log_;
    PeerRejoin* rejoin_;
    std::vector<std::string> devices_;  // as last listed, without the default
    bool devicesListed_ = false;
    std::int16_t deviceIndex_ = -1;
    std::int16_t state_ = PORT_STATE_CLOSED;
    std::int16_t lastCommand_ = 0;
    ShortMessage message_;
    OwedNoteOffs owedNoteOffs_;
    // Whether the last message sent reached every connection.
    bool reachedEverywhere_ = true;
    QTimer resendTimer_;
    std::chrono::milliseconds resendWait_;
    std::uint64_t unsentCount_ = 0;
    bool overflowReportPending_ = false;
};

}  // namespace keyflip
