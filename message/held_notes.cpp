#include "held_notes.h"

#include "midi_status.h"

namespace keyflip {

namespace {

using midi::kLastNoteOn;
using midi::kNoteOff;
using midi::kNoteOn;

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
    auto& pitches = sentPitches_[noteOn.status & 0x0F][noteOn.data1];
    if (pitches.size() == kMaxOverlap) {
        pitches.erase(pitches.begin());
    }
    pitches.push_back(sentPitch);
}

std::optional<std::int16_t> HeldNotes::release(const ShortMessage& noteOff) {
    if (!isKey(noteOff.data1)) {
        return std::nullopt;
    }
    auto& pitches = sentPitches_[noteOff.status & 0x0F][noteOff.data1];
    if (pitches.empty()) {
        return std::nullopt;
    }
    const std::int16_t pitch = pitches.front();
    pitches.erase(pitches.begin());
    return pitch;
}

void HeldNotes::releaseAll(const std::function<void(int channel, std::int16_t pitch)>& release) {
    for (int channel = 0; channel < 16; ++channel) {
        for (auto& pitches : sentPitches_[static_cast<std::size_t>(channel)]) {
            for (const std::int16_t pitch : pitches) {
                release(channel, pitch);
            }
            pitches.clear();
        }
    }
}

}  // namespace keyflip
