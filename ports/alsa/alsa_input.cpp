// The reader thread. One std::thread, started by the backend once its
// wake-up handler is set and stopped before the handler goes, blocks in
// snd_seq_event_input and is the only reader of the client's events; the UI
// thread uses the same handle only for ioctls and direct writes. Each time
// the read returns it takes every event the library has buffered: MIDI at
// "in" decoded to bytes into the IncomingQueue, woken once after the batch;
// System Announce events as ThreadCrossing flags, raised once. It holds
// deliveryMutex_ over the whole batch, so that setQueue and setDelivering,
// once they return, know the old queue is left alone. It ends when stop()
// sets stopping_ and sends an event to the client's own announcements port,
// or when a read fails for good: failed() says so then, and the crossing is
// woken. Once stopping_ is set it touches nothing of the UI thread's any
// more, so a reader that stop() could not end may be left behind. It never
// calls Qt, allocates, throws or waits for the UI thread.
#include "alsa_input.h"

#include "alsa_observer.h"

#include "incoming_queue.h"
#include "port_texts.h"
#include "wire_format.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <span>
#include <stdexcept>
#include <utility>

namespace keyflip::alsa {

namespace {

// How long stopping waits for the reader to end, and how often it sends the
// wake-up again meanwhile.
constexpr std::chrono::milliseconds kStopLimit{1000};
constexpr std::chrono::milliseconds kWakeUpRetry{10};

// What the kernel lost when the client's input pool overflowed: it keeps
// MIDI arriving at "in" and the System Announce events in the same pool and
// clears all of it, so a peer may have left or come, or a connection of
// "out" changed, without a word. The UI thread looks at them all again.
constexpr std::uint32_t kOverrunFlags = kDepartures | kArrivals | kSubscriptions;

}  // namespace

AlsaReader::AlsaReader(snd_seq_t* sequencer, const OwnPorts& own, ThreadCrossing& crossing)
    : sequencer_(sequencer), own_(own), crossing_(crossing), decoder_(makeCodec()) {
    if (!decoder_) {
        throw std::runtime_error(texts::kAlsaCodecsFailed);
    }
}

AlsaReader::~AlsaReader() {
    if (thread_.joinable()) {
        [[maybe_unused]] const bool stopped = stop();
    }
}

void AlsaReader::start() {
    std::promise<void> ended;
    ended_ = ended.get_future();
    std::promise<scheduling::ThreadId> started;
    std::future<scheduling::ThreadId> id = started.get_future();
    thread_ = std::thread([this, ended = std::move(ended), started = std::move(started)]() mutable {
        ended.set_value_at_thread_exit();
        started.set_value(scheduling::currentThreadId());
        readEvents();
    });
    priority_.emplace(id.get(), scheduling::kWindowThreadPriority + 1);
    if (priority_->take()) {
        scheduling::sayOnStandardError(scheduling::describePlan(
            priority_->plan(), priority_->findings(), "ALSA reader thread"));
    }
}

// Ends the reader's blocking read with an event of the client's own. It is
// sent until one is taken: delivery to the client's own port fails when its
// input pool is full, and then the reader has events to read before it sees
// the flag anyway.
bool AlsaReader::stop() {
    priority_.reset();
    stopping_.store(true, std::memory_order_release);
    const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    bool wokenUp = false;
    for (;;) {
        wokenUp = wokenUp || sendWakeUp();
        if (ended_.wait_for(kWakeUpRetry) == std::future_status::ready) {
            thread_.join();
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            thread_.detach();
            return false;
        }
    }
}

bool AlsaReader::sendWakeUp() {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = SND_SEQ_EVENT_USR0;
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(own_.announce));
    snd_seq_ev_set_dest(&event, static_cast<unsigned char>(own_.client),
                        static_cast<unsigned char>(own_.announce));
    snd_seq_ev_set_direct(&event);
    return !check(snd_seq_event_output_direct(sequencer_, &event), "snd_seq_event_output_direct");
}

void AlsaReader::setQueue(IncomingQueue* queue) {
    const std::lock_guard lock(deliveryMutex_);
    queue_ = queue;
}

void AlsaReader::setDelivering(bool deliver) {
    const std::lock_guard lock(deliveryMutex_);
    deliverInput_ = deliver;
}

void AlsaReader::watch(PortSide side, std::optional<snd_seq_addr_t> peer) noexcept {
    const bool input = side == PortSide::Input;
    (input ? watchedSource_ : watchedDestination_)
        .store(peer ? packedAddress(*peer) : kNoPeer, std::memory_order_release);
    crossing_.takeFlag(input ? kSourceLeft : kDestinationLeft);
}

// A blocking read hands over the first event in the same system call that
// waited for it; a poll before each read would cost one more call on every
// message's way.
void AlsaReader::readEvents() {
    for (;;) {
        snd_seq_event_t* event = nullptr;
        const std::optional<AlsaFailure> failed =
            check(snd_seq_event_input(sequencer_, &event), "snd_seq_event_input");
        if (stopping_.load(std::memory_order_acquire)) {
            return;
        }
        if (!deliver(failed, event)) {
            failed_.store(true, std::memory_order_release);
            const std::lock_guard lock(deliveryMutex_);
            if (!stopping_.load(std::memory_order_acquire)) {
                crossing_.wake();
            }
            return;
        }
    }
}

// Hands the event just read, and every other one the read brought into the
// library's buffer, to the input port. False when a read failed for good.
bool AlsaReader::deliver(std::optional<AlsaFailure> firstFailure, snd_seq_event_t* first) {
    const std::lock_guard lock(deliveryMutex_);
    IncomingQueue* queue = deliverInput_ ? queue_ : nullptr;
    bool pushed = false;
    bool readable = true;
    std::uint32_t flags = 0;
    std::uint64_t overruns = 0;
    std::optional<AlsaFailure> failed = firstFailure;
    snd_seq_event_t* event = first;
    for (;;) {
        if (!failed) {
            if (event != nullptr && event->dest.port == own_.announce) {
                flags |= announcedChanges(*event, own_,
                                          {watchedSource_.load(std::memory_order_acquire),
                                           watchedDestination_.load(std::memory_order_acquire)});
            } else if (event != nullptr && queue != nullptr && event->dest.port == own_.in) {
                pushed = push(*queue, event) || pushed;
            }
        } else if (failed->error == -ENOSPC) {
            // The kernel dropped events for want of room and cleared the
            // rest; how many it does not say, so at least one is counted.
            ++overruns;
        } else if (failed->error == -EAGAIN) {
            // A blocking read says this only of an event larger than the
            // library's read buffer (a long SysEx, when the buffer is smaller
            // than the input pool): it can never be read, and every read
            // would fail on it again. The input is dropped to get past it.
            ++overruns;
            readable = !check(snd_seq_drop_input(sequencer_), "snd_seq_drop_input");
        } else if (failed->error != -EINTR) {
            readable = false;
        }
        if (!readable) {
            break;
        }
        // Only what the last read brought is taken; once the library's buffer
        // is empty the reader wakes the UI thread before it reads again.
        const int pending = snd_seq_event_input_pending(sequencer_, 0);
        if (check(pending, "snd_seq_event_input_pending") || pending == 0) {
            break;
        }
        event = nullptr;
        failed = check(snd_seq_event_input(sequencer_, &event), "snd_seq_event_input");
    }
    if (overruns > 0) {
        flags |= kOverrunFlags;
        if (queue != nullptr) {
            queue->countLost(overruns);
            pushed = true;
        }
    }
    if (pushed) {
        queue->wake();
    }
    if (flags != 0) {
        crossing_.raise(flags);
    }
    return readable;
}

bool AlsaReader::push(IncomingQueue& queue, const snd_seq_event_t* event) {
    std::array<unsigned char, kDecodeBufferSize> bytes{};
    const long size =
        snd_midi_event_decode(decoder_.get(), bytes.data(), static_cast<long>(bytes.size()), event);
    if (check(size, "snd_midi_event_decode") || size == 0) {
        snd_midi_event_reset_decode(decoder_.get());
        return false;
    }
    // A 14-bit controller or a (non-)registered parameter event comes out as
    // two or four Control Changes, each with its status byte; every one is
    // passed on. What is no short message (SysEx) is left out.
    std::span<const std::uint8_t> rest(bytes.data(), static_cast<std::size_t>(size));
    bool pushed = false;
    while (!rest.empty()) {
        const std::size_t length = shortMessageLength(rest.front());
        if (length == 0 || length > rest.size()) {
            break;
        }
        pushed = queue.pushBytes(rest.first(length)) || pushed;
        rest = rest.subspan(length);
    }
    return pushed;
}

}  // namespace keyflip::alsa
