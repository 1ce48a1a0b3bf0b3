#pragma once

// Keyflip's "in" port: on JACK's process thread, what arrived goes into the
// input port's IncomingQueue with its arrival frame; on the UI thread, the
// queue is swapped and a message's arrival frame read back.

#include "jack_arrival_stamps.h"
#include "jack_process_gate.h"

#include "incoming_queue.h"

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <optional>

namespace keyflip::jack {

class Input {
public:
    explicit Input(const ProcessGate& gate) : gate_(gate) {}

    // Before activation, so the first callback finds the port.
    void publishPort(jack_port_t* port) noexcept { port_.store(port, std::memory_order_release); }

    // UI thread. Nothing is delivered while off, whatever the queue.
    void setDelivering(bool deliver) noexcept {
        deliver_.store(deliver, std::memory_order_seq_cst);
    }
    // Returns once the process callback pushes into queue only; the previous
    // one may then be destroyed.
    void setQueue(IncomingQueue* queue);
    // When the message first in the queue arrived; nothing without a queue,
    // with it empty, or while a cycle kept writing throughout.
    std::optional<jack_nframes_t> frontArrival() const noexcept {
        return stampedQueue_ != nullptr ? arrivals_.frontArrival(*stampedQueue_) : std::nullopt;
    }
    // Any thread: messages JACK handed to the port so far.
    std::uint64_t receivedCount() const noexcept {
        return received_.load(std::memory_order_relaxed);
    }

    // Process thread: never blocks, never allocates.
    void receive(jack_client_t* client, jack_nframes_t frames) noexcept;

private:
    void receiveInto(IncomingQueue& queue, jack_client_t* client, jack_nframes_t frames) noexcept;

    const ProcessGate& gate_;

    // UI thread only: the queue the arrival stamps count pushes for.
    IncomingQueue* stampedQueue_ = nullptr;

    // Shared with JACK's process thread.
    std::atomic<jack_port_t*> port_{nullptr};
    std::atomic<IncomingQueue*> queue_{nullptr};
    std::atomic<bool> deliver_{false};
    std::atomic<std::uint64_t> received_{0};
    ArrivalStamps arrivals_;
};

}  // namespace keyflip::jack
