#pragma once

// Keyflip's "out" port: on the UI thread, messages go into the outgoing ring
// with the frame they are due at; on JACK's process thread, the ring is
// written into the port's buffer.

#include "jack_backend.h"
#include "jack_outgoing_ring.h"
#include "jack_process_gate.h"

#include "wire_format.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace keyflip::jack {

class Output {
public:
    Output(JackOutputTiming timing, const ProcessGate& gate);

    // Before activation, so the first callback finds the port.
    void publishPort(jack_port_t* port) noexcept { port_.store(port, std::memory_order_release); }

    // UI thread.
    bool send(const WireMessage& message, jack_nframes_t due);
    // Everything not yet taken, which will now never be sent; the process
    // callback is held off while the ring is read, so that is exact.
    std::vector<WireMessage> discard();
    // Waits, for at most limit and while stopped is false, until the whole
    // graph has read what was sent so far.
    void flush(std::chrono::milliseconds limit, const std::function<bool()>& stopped);
    // What waits is skipped instead of sent, but still reported by discard,
    // so the output port learns which of its notes never went out.
    void skipPending() noexcept;
    // As skipPending, and discard reports none of it.
    void dropPending() noexcept;
    // Any thread: messages written into the port so far.
    std::uint64_t writtenCount() const noexcept { return written_.load(std::memory_order_relaxed); }

    // Process thread: never blocks, never allocates.
    void transmit(jack_client_t* client, jack_nframes_t frames) noexcept;

private:
    const JackOutputTiming timing_;
    const ProcessGate& gate_;

    // UI thread only.
    std::size_t flushedUpTo_ = 0;
    std::size_t reportedUpTo_ = 0;  // ring messages discard has accounted for

    // Shared with JACK's process thread.
    std::atomic<jack_port_t*> port_{nullptr};
    std::atomic<bool> hold_{false};  // the callback leaves the ring alone
    std::atomic<std::uint64_t> written_{0};
    OutgoingRing ring_;
};

}  // namespace keyflip::jack
