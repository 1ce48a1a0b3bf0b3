#pragma once

#include "jack_status_text.h"
#include "midi_backend.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace keyflip {

// Where in the next period an outgoing message is written.
enum class JackOutputTiming {
    // At the offset its input event had, one period later: a constant
    // one-period delay with no jitter.
    KeepOffset,
    // At the period's first frame: half a period earlier on average, but up
    // to a period of jitter.
    FrameZero,
};

// JACK, written directly on libjack: one client "Keyflip" with the ports "in"
// and "out". Created lazily and created again after the server went away.
// whySequencerClosed: why the platform's sequencer, tried first, could not
// be opened, said when no server runs either.
std::unique_ptr<MidiBackend> createJackBackend(
    JackOutputTiming timing = JackOutputTiming::KeepOffset,
    JackSelection selection = JackSelection::AfterPlatformSequencer,
    QString whySequencerClosed = {});

// Messages JACK handed to the input port and messages written into the
// output port since the backend was made: with a sender's and a receiver's
// counts they tell where a message that did not arrive was lost. Late cycles
// are those whose process callback finished after the period had ended, so
// that the server may have missed the cycle on Keyflip's account.
struct JackPortTraffic {
    std::uint64_t received = 0;
    std::uint64_t written = 0;
    std::uint64_t lateCycles = 0;
};
// Nothing when backend is not a JACK backend.
std::optional<JackPortTraffic> jackPortTraffic(const MidiBackend& backend);

}  // namespace keyflip
