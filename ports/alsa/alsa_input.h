#pragma once

// The reader thread, the only one that reads the sequencer client's events:
// MIDI arriving at "in" goes to the input port's queue, the System Announce
// events become crossing flags for the UI thread.

#include "alsa_check.h"
#include "alsa_client.h"
#include "alsa_observer.h"

#include "midi_backend.h"
#include "scheduling/thread_scheduling.h"
#include "thread_crossing.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace keyflip {
class IncomingQueue;
}

namespace keyflip::alsa {

class AlsaReader {
public:
    // Throws when the decoder cannot be made.
    AlsaReader(snd_seq_t* sequencer, const OwnPorts& own, ThreadCrossing& crossing);
    // Stops the thread if it still runs; an owner that must know whether it
    // could calls stop() first.
    ~AlsaReader();
    AlsaReader(const AlsaReader&) = delete;
    AlsaReader& operator=(const AlsaReader&) = delete;

    // UI thread. The thread runs one step above the window thread where the
    // user's rights allow: the window waits on what it reads.
    void start();
    // Ends the blocking read and waits, for a bounded time, for the thread to
    // end. False when it did not: the thread is left blocked in its read, and
    // this object and the sequencer handle must then outlive it.
    [[nodiscard]] bool stop();
    // Where MIDI arriving at "in" goes, and whether it goes there at all;
    // nullptr or false drops it. Once either call returns, the reader uses
    // only what it set.
    void setQueue(IncomingQueue* queue);
    void setDelivering(bool deliver);
    // The peer connected on side, whose leaving raises kSourceLeft or
    // kDestinationLeft; nothing watches none. A leaving told before is
    // forgotten.
    void watch(PortSide side, std::optional<snd_seq_addr_t> peer) noexcept;

    // Any thread: the read failed and the thread has ended.
    bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }

private:
    void readEvents();
    bool deliver(std::optional<AlsaFailure> firstFailure, snd_seq_event_t* first);
    bool push(IncomingQueue& queue, const snd_seq_event_t* event);
    bool sendWakeUp();

    snd_seq_t* const sequencer_;
    const OwnPorts own_;
    ThreadCrossing& crossing_;

    // Reader thread only.
    MidiCodec decoder_;

    // Shared with the UI thread.
    std::mutex deliveryMutex_;
    IncomingQueue* queue_ = nullptr;  // guarded by deliveryMutex_
    bool deliverInput_ = false;       // guarded by deliveryMutex_
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<int> watchedSource_{kNoPeer};
    std::atomic<int> watchedDestination_{kNoPeer};
    std::future<void> ended_;
    std::thread thread_;
    std::optional<scheduling::ThreadPriority> priority_;  // UI thread only
};

}  // namespace keyflip::alsa
