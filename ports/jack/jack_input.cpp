#include "jack_input.h"

#include <jack/midiport.h>

namespace keyflip::jack {

void Input::setQueue(IncomingQueue* queue) {
    if (queue != nullptr && queue != stampedQueue_) {
        // Arrival frames are kept by push count, which must match the new
        // queue's before the process callback pushes into it.
        queue_.store(nullptr, std::memory_order_seq_cst);
        gate_.waitOutside();
        arrivals_.restartAt(queue->size());
        stampedQueue_ = queue;
    }
    queue_.store(queue, std::memory_order_seq_cst);
    // The caller may destroy the previous queue once this returns, so sends
    // from then on must not read it for arrival frames either.
    if (queue == nullptr) {
        stampedQueue_ = nullptr;
    }
    gate_.waitOutside();
}

void Input::receive(jack_client_t* client, jack_nframes_t frames) noexcept {
    IncomingQueue* queue = queue_.load(std::memory_order_seq_cst);
    if (queue != nullptr && deliver_.load(std::memory_order_seq_cst)) {
        receiveInto(*queue, client, frames);
    }
}

void Input::receiveInto(IncomingQueue& queue, jack_client_t* client,
                        jack_nframes_t frames) noexcept {
    jack_port_t* port = port_.load(std::memory_order_acquire);
    void* buffer = jack_port_get_buffer(port, frames);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    const jack_nframes_t cycleStart = jack_last_frame_time(client);
    const std::size_t firstCount = arrivals_.beginCycle(queue);
    std::size_t pushedCount = firstCount;
    std::uint64_t received = 0;
    for (std::uint32_t index = 0; index < count; ++index) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, index) != 0) {
            continue;
        }
        ++received;
        if (queue.pushBytes({event.buffer, event.size})) {
            arrivals_.stamp(pushedCount, cycleStart + event.time);
        }
    }
    received_.fetch_add(received, std::memory_order_relaxed);
    arrivals_.endCycle(pushedCount);
    if (pushedCount != firstCount) {
        queue.wake();
    }
}

}  // namespace keyflip::jack
