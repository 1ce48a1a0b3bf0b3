#include "held_notes.h"

#include "midi_status.h"

namespace keyflip {

namespace {

using midi::kLastNoteOn;
using midi::kNoteOff;
using midi::kNoteOn;

static_assert(HeldNotes::kMaxOverlap <= 255, "a run's count is one byte");

// Forgets the oldest Note On of a key and gives its pitch.
template <typename Runs>
std::int16_t takeOldest(Runs& runs) {
    const std::int16_t pitch = runs.front().pitch;
    if (--runs.front().count == 0) {
        runs.erase(runs.begin());
    }
    return pitch;
}

bool isKey(std::int16_t value) {
    return value >= 0 && value <= midi::kHighestDataValue;
}

}  // namespace

bool isNoteOn(const ShortMessage& message) {
    return message.status >= kNoteOn && message.status <= kLastNoteOn && message.data2 > 0;
}

bool isNoteOff(const ShortMessage& message) {
    if (message.status >= kNoteOff && message.status < kNoteOn) {
        return true;
    }
    return message.status >= kNoteOn && message.status <= kLastNoteOn && message.data2 == 0;
}

void HeldNotes::remember(const ShortMessage& noteOn, std::int16_t sentPitch) {
    if (!isKey(noteOn.data1)) {
        return;
    }
    auto& runs = runs_[noteOn.status & 0x0F][noteOn.data1];
    std::size_t held = 0;
    for (const Run& run : runs) {
        held += run.count;
    }
    if (held == kMaxOverlap) {
        takeOldest(runs);
    }
    if (!runs.empty() && runs.back().pitch == sentPitch) {
        ++runs.back().count;
    } else {
        runs.push_back({sentPitch, 1});
    }
}

std::optional<std::int16_t> HeldNotes::release(const ShortMessage& noteOff) {
    if (!isKey(noteOff.data1)) {
        return std::nullopt;
    }
    auto& runs = runs_[noteOff.status & 0x0F][noteOff.data1];
    if (runs.empty()) {
        return std::nullopt;
    }
    return takeOldest(runs);
}

void HeldNotes::releaseAll(const std::function<void(int channel, std::int16_t pitch)>& release) {
    for (int channel = 0; channel < 16; ++channel) {
        for (auto& runs : runs_[static_cast<std::size_t>(channel)]) {
            for (const Run& run : runs) {
                for (int left = run.count; left > 0; --left) {
                    release(channel, run.pitch);
                }
            }
            runs.clear();
        }
    }
}

}  // namespace keyflip
