#include "wheel_notes.h"

#include <algorithm>

namespace keyflip {

namespace {

bool isPitch(std::int16_t value) {
    return value >= 0 && value <= midi::kHighestDataValue;
}

}  // namespace

void WheelNotes::turnedOn(std::int16_t pitch) {
    if (!isPitch(pitch) || kept_[static_cast<std::size_t>(pitch)]) {
        return;
    }
    kept_[static_cast<std::size_t>(pitch)] = true;
    pitches_[count_++] = pitch;
}

void WheelNotes::forget(std::int16_t pitch) {
    if (!isPitch(pitch) || !kept_[static_cast<std::size_t>(pitch)]) {
        return;
    }
    kept_[static_cast<std::size_t>(pitch)] = false;
    const auto kept = pitches_.begin() + static_cast<std::ptrdiff_t>(count_);
    count_ =
        static_cast<std::size_t>(std::remove(pitches_.begin(), kept, pitch) - pitches_.begin());
}

void WheelNotes::releaseAll(const std::function<void(std::int16_t pitch)>& release) {
    for (std::size_t index = 0; index < count_; ++index) {
        kept_[static_cast<std::size_t>(pitches_[index])] = false;
        release(pitches_[index]);
    }
    count_ = 0;
}

}  // namespace keyflip
