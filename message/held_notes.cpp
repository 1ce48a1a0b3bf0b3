#include "held_notes.h"

namespace keyflip {

namespace {

constexpr std::int16_t kNoteOffFirst = 128;
constexpr std::int16_t kNoteOnFirst = 144;
constexpr std::int16_t kNoteOnLast = 159;

bool isKey(std::int16_t value) {
    return value >= 0 && value <= 127;
}

}  // namespace

bool isNoteOn(const ShortMessage& message) {
    return message.status >= kNoteOnFirst && message.status <= kNoteOnLast && message.data2 > 0;
}

bool isNoteOff(const ShortMessage& message) {
    if (message.status >= kNoteOffFirst && message.status < kNoteOnFirst) {
        return true;
    }
    return message.status >= kNoteOnFirst && message.status <= kNoteOnLast && message.data2 == 0;
}

HeldNotes::HeldNotes() {
    for (auto& channel : sentPitch_) {
        channel.fill(kNotHeld);
    }
}

void HeldNotes::remember(const ShortMessage& noteOn, std::int16_t sentPitch) {
    if (isKey(noteOn.data1)) {
        sentPitch_[noteOn.status & 0x0F][noteOn.data1] = sentPitch;
    }
}

std::optional<std::int16_t> HeldNotes::release(const ShortMessage& noteOff) {
    if (!isKey(noteOff.data1)) {
        return std::nullopt;
    }
    std::int16_t& slot = sentPitch_[noteOff.status & 0x0F][noteOff.data1];
    if (slot == kNotHeld) {
        return std::nullopt;
    }
    const std::int16_t pitch = slot;
    slot = kNotHeld;
    return pitch;
}

}  // namespace keyflip
