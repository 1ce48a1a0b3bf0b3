#pragma once

// What "out" sends: the ports it is connected to, each sent to by its own
// address, and what each of them had no room for yet, tried again on a timer.

#include "alsa_client.h"

#include "midi_backend.h"
#include "thread_crossing.h"
#include "wire_format.h"

#include <alsa/asoundlib.h>

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

namespace keyflip::alsa {

// UI thread only.
class AlsaOutput : public QObject {
    Q_OBJECT

public:
    // crossing: where the reader says a connection of "out" was made or
    // undone. Throws when the encoder cannot be made.
    AlsaOutput(snd_seq_t* sequencer, const OwnPorts& own, ThreadCrossing& crossing);

    // The ports "out" is connected to now, each keeping what it still waits
    // for. Asked again whenever the sequencer announces a change, so a
    // connection a patchbay makes gets what is sent after the UI thread has
    // heard of it.
    void refreshConnections();

    // Which connections the message reached or waits for in order: all of
    // them (or there is none to reach), some, or none.
    Delivery send(const WireMessage& message);
    // Waits, at most limit, until nothing is held any more.
    void flush(std::chrono::milliseconds limit);
    // What the sequencer never took; the output port corrects its count of
    // sounding notes from it. Nothing is held any more afterwards.
    std::vector<WireMessage> discard();
    // Drops what is held, and says how much was lost.
    void dropHeld();

signals:
    // Messages send() had accepted were finally not sent: count of them.
    void lost(quint64 count);

private:
    // Declined: the destination takes no events of this kind (its client's
    // event filter) or no input at all; it is there and gets the rest.
    // Gone: the destination has left; the sequencer's announcement that the
    // connection went with it may not have been read yet.
    enum class Written { Sent, NoRoom, Declined, Refused, Gone };

    struct HeldMessage {
        std::uint64_t number;  // in the order sent, over all connections
        WireMessage message;
    };

    // One port that "out" is connected to: the destination chosen, or one a
    // patchbay connected. Each is sent to by its address, so what one has no
    // room for waits for that one alone; sent to the subscribers as a whole,
    // a message one of them refused would, when sent again, reach the
    // others twice.
    struct Connection {
        snd_seq_addr_t address{};
        std::deque<HeldMessage> held;  // what it had no room for yet, in order
        bool gone = false;
    };

    bool encode(const WireMessage& message, snd_seq_event_t& event);
    Written write(snd_seq_event_t& event, const snd_seq_addr_t& to);
    bool portExists(const snd_seq_addr_t& address) const;
    void forgetGoneConnections();
    bool anyHeld() const;
    bool sendHeld();
    void watchForRoom(bool watch);

    snd_seq_t* const sequencer_;
    const OwnPorts own_;
    ThreadCrossing& crossing_;
    MidiCodec encoder_;
    std::vector<Connection> connections_;
    bool listUnread_ = false;  // the last look at the connections failed
    std::uint64_t nextNumber_ = 0;
    std::uint64_t partlyLost_ = 0;
    QTimer retryTimer_;
    std::chrono::milliseconds retryWait_;
};

}  // namespace keyflip::alsa
