#include "jack_output.h"

#include <jack/midiport.h>

#include <algorithm>

namespace keyflip::jack {

Output::Output(JackOutputTiming timing, const ProcessGate& gate) : timing_(timing), gate_(gate) {
}

bool Output::send(const WireMessage& message, jack_nframes_t due) {
    return ring_.push({message, due});
}

std::vector<WireMessage> Output::discard() {
    hold_.store(true, std::memory_order_seq_cst);
    gate_.waitOutside();
    const std::size_t end = ring_.pushedCount();
    std::vector<WireMessage> dropped;
    for (std::size_t index = std::max(ring_.consumedCount(), reportedUpTo_); index < end; ++index) {
        dropped.push_back(ring_.messageAt(index));
    }
    ring_.discardPending();
    reportedUpTo_ = end;
    flushedUpTo_ = end;
    hold_.store(false, std::memory_order_seq_cst);
    return dropped;
}

void Output::flush(std::chrono::milliseconds limit, const std::function<bool()>& stopped) {
    const std::size_t target = ring_.pushedCount();
    if (target == flushedUpTo_) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (!waitUntil([&] { return ring_.consumedUpTo(target); }, stopped, deadline)) {
        return;
    }
    // The cycle that took the last message may still be running; once the one
    // after it has finished, the whole graph has read that buffer.
    const std::uint64_t cycle = gate_.cycles();
    if (waitUntil([&] { return gate_.cycles() >= cycle + 2; }, stopped, deadline)) {
        flushedUpTo_ = target;
    }
}

void Output::skipPending() noexcept {
    ring_.discardPending();
    flushedUpTo_ = ring_.pushedCount();
}

void Output::dropPending() noexcept {
    skipPending();
    reportedUpTo_ = flushedUpTo_;
}

void Output::transmit(jack_client_t* client, jack_nframes_t frames) noexcept {
    void* buffer = jack_port_get_buffer(port_.load(std::memory_order_acquire), frames);
    jack_midi_clear_buffer(buffer);
    const jack_nframes_t cycleStart = jack_last_frame_time(client);
    if (hold_.load(std::memory_order_seq_cst)) {
        return;
    }
    const bool keepOffset = timing_ == JackOutputTiming::KeepOffset;
    jack_nframes_t earliest = 0;
    std::uint64_t written = 0;
    // Checking the room first keeps JACK from counting a refused event as lost.
    ring_.consume([&](const OutgoingSlot& slot) {
        const WireMessage& message = slot.message;
        jack_nframes_t offset = 0;
        if (keepOffset) {
            // Late ones go at once; frame times wrap, so compare the difference.
            const auto ahead = static_cast<std::int32_t>(slot.due - cycleStart);
            const auto period = static_cast<std::int32_t>(frames);
            if (ahead >= period && ahead < 2 * period) {
                // Sent so quickly that the cycle it answers is still running.
                return false;
            }
            offset = ahead <= 0 || ahead >= period ? 0 : static_cast<jack_nframes_t>(ahead);
            // Events in a buffer must never go back in time.
            offset = std::max(offset, earliest);
        }
        if (jack_midi_max_event_size(buffer) < message.size ||
            jack_midi_event_write(buffer, offset, message.bytes.data(), message.size) != 0) {
            return false;
        }
        earliest = offset;
        ++written;
        return true;
    });
    written_.fetch_add(written, std::memory_order_relaxed);
}

}  // namespace keyflip::jack
