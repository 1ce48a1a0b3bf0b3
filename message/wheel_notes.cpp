#include "wheel_notes.h"

namespace keyflip {

namespace {

bool isDataValue(std::int16_t value) {
    return value >= 0 && value <= midi::kHighestDataValue;
}

}  // namespace

void WheelNotes::turnedOn(std::int16_t controller, std::int16_t pitch) {
    if (!isDataValue(controller) || !isDataValue(pitch)) {
        return;
    }
    Pitches& pitches = byController_[static_cast<std::size_t>(controller)];
    const auto bit = static_cast<std::size_t>(pitch);
    if (pitches.kept[bit]) {
        return;
    }
    pitches.kept[bit] = true;
    pitches.order[pitches.count++] = pitch;
}

void WheelNotes::rest(std::int16_t controller, std::int16_t restPitch,
                      const std::function<void(std::int16_t pitch)>& release) {
    if (isDataValue(controller)) {
        WheelNotes::release(byController_[static_cast<std::size_t>(controller)], restPitch,
                            release);
    }
}

void WheelNotes::releaseAll(const std::function<void(std::int16_t pitch)>& release) {
    for (Pitches& pitches : byController_) {
        WheelNotes::release(pitches, -1, release);
    }
}

void WheelNotes::release(Pitches& pitches, std::int16_t except,
                         const std::function<void(std::int16_t pitch)>& release) {
    for (std::size_t index = 0; index < pitches.count; ++index) {
        const std::int16_t pitch = pitches.order[index];
        pitches.kept[static_cast<std::size_t>(pitch)] = false;
        if (pitch != except) {
            release(pitch);
        }
    }
    pitches.count = 0;
}

}  // namespace keyflip
