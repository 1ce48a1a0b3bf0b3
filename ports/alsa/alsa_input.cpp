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
// woken. It never calls Qt, allocates, throws or waits for the UI thread.
#include "alsa_input.h"

#include "alsa_observer.h"

#include "incoming_queue.h"
#include "port_texts.h"
#include "wire_format.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>

namespace keyflip::alsa {

namespace {

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
        stop();
    }
}

void AlsaReader::start() {
    thread_ = std::thread([this] { readEvents(); });
}

// Ends the reader's blocking read with an event of the client's own.
void AlsaReader::stop() {
    stopping_.store(true, std::memory_order_release);
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = SND_SEQ_EVENT_USR0;
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(own_.announce));
    snd_seq_ev_set_dest(&event, static_cast<unsigned char>(own_.client),
                        static_cast<unsigned char>(own_.announce));
    snd_seq_ev_set_direct(&event);
    // Delivery to the client's own port fails only when its input pool is
    // full, and then the reader has events to read before it sees the flag.
    [[maybe_unused]] const auto failed =
        check(snd_seq_event_output_direct(sequencer_, &event), "snd_seq_event_output_direct");
    thread_.join();
}

void AlsaReader::setQueue(IncomingQueue* queue) {
    const std::lock_guard lock(deliveryMutex_);
    queue_ = queue;
}

void AlsaReader::setDelivering(bool deliver) {
    const std::lock_guard lock(deliveryMutex_);
    deliverInput_ = deliver;
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
        if (failed && failed->error != -ENOSPC && failed->error != -EINTR &&
            failed->error != -EAGAIN) {
            failed_.store(true, std::memory_order_release);
            crossing_.wake();
            return;
        }
        deliver(failed, event);
    }
}

// Hands the event just read, and every other one the read brought into the
// library's buffer, to the input port.
void AlsaReader::deliver(std::optional<AlsaFailure> firstFailure, snd_seq_event_t* first) {
    const std::lock_guard lock(deliveryMutex_);
    IncomingQueue* queue = deliverInput_ ? queue_ : nullptr;
    bool pushed = false;
    std::uint32_t flags = 0;
    std::uint64_t overruns = 0;
    std::optional<AlsaFailure> failed = firstFailure;
    snd_seq_event_t* event = first;
    for (;;) {
        if (failed && failed->error == -ENOSPC) {
            // The kernel dropped events for want of room and cleared the
            // rest; how many it does not say, so at least one is counted.
            ++overruns;
        } else if (!failed && event != nullptr) {
            if (event->dest.port == own_.announce) {
                flags |= announcedChanges(*event, own_);
            } else if (queue != nullptr && event->dest.port == own_.in) {
                pushed = push(*queue, event) || pushed;
            }
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
