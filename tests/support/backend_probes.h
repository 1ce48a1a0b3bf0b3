#pragma once
// What a test sees of a backend from the UI thread's side: its event loop
// run until something holds, the losses it reports, and an input queue
// drained as the input port drains it.
#include "incoming_queue.h"
#include "midi_backend.h"
#include "wire_format.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace keyflip::checks {

// Runs Qt's event loop until pred holds or limit has passed; the last answer.
bool pumpUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit = std::chrono::milliseconds{10000});

struct Loss {
    PortSide side;
    qint16 code;
    QString text;
};

struct Departure {
    PortSide side;
    QString name;
    friend bool operator==(const Departure&, const Departure&) = default;
};

// Every connectionLost and peerLeft the backend emits, in order.
class LossRecorder {
public:
    explicit LossRecorder(MidiBackend& backend);
    std::size_t count(PortSide side) const;

    std::vector<Loss> losses;
    std::vector<Departure> departures;
};

// Drains an IncomingQueue on the UI thread whenever the MIDI thread wakes it,
// as the input port does.
class QueueDrain {
public:
    explicit QueueDrain(IncomingQueue& queue);
    ~QueueDrain();
    QueueDrain(const QueueDrain&) = delete;
    QueueDrain& operator=(const QueueDrain&) = delete;
    void drain();

    std::vector<WireMessage> messages;
    std::uint64_t dropped = 0;
    int wakes = 0;

private:
    IncomingQueue& queue_;
};

}  // namespace keyflip::checks
