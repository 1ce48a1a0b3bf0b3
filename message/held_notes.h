#pragma once

#include "short_message.h"

#include <array>
#include <cstdint>
#include <optional>

namespace keyflip {

bool isNoteOn(const ShortMessage& message);   // 144..159 with velocity above 0
bool isNoteOff(const ShortMessage& message);  // 128..143, or 144..159 with velocity 0

// Remembers, per channel and incoming key, the pitch a Note On went out on.
// The settings may move while a key is held; its Note Off must still reach
// the pitch that is sounding, or that note never stops.
class HeldNotes {
public:
    HeldNotes();

    // Keys outside 0..127 cannot be held on a real keyboard and are ignored.
    void remember(const ShortMessage& noteOn, std::int16_t sentPitch);
    // The pitch the matching Note On went out on, forgotten as it is returned.
    std::optional<std::int16_t> release(const ShortMessage& noteOff);

private:
    static constexpr std::int16_t kNotHeld = INT16_MIN;
    std::array<std::array<std::int16_t, 128>, 16> sentPitch_;
};

}  // namespace keyflip
