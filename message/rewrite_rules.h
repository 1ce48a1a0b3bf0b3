#pragma once

#include "int16_arithmetic.h"
#include "rewrite_settings.h"
#include "short_message.h"

namespace keyflip {

namespace rewrite_detail {
inline constexpr std::int16_t kFirstNoteStatus = 128;
inline constexpr std::int16_t kLastNoteStatus = 159;
inline constexpr std::int16_t kControlChangeChannel1 = 176;
inline constexpr std::int16_t kNoteOnChannel1 = 144;
inline constexpr std::int16_t kModulationWheel = 1;
inline constexpr std::int16_t kHighestDataValue = 127;
}  // namespace rewrite_detail

// The three rules in order: transpose notes, mirror data1 when reverse is on,
// turn the channel-1 modulation wheel into a Note On of the wheel note.
// Results are not clamped; only status and data1 ever change. Inline, as it
// runs for every message.
inline ShortMessage rewrite(const ShortMessage& incoming, const RewriteSettings& settings) {
    using namespace rewrite_detail;
    ShortMessage out = incoming;
    if (out.status >= kFirstNoteStatus && out.status <= kLastNoteStatus) {
        out.data1 = addInt16(out.data1, settings.transposeAmount());
    }
    if (settings.reverseFlag()) {
        out.data1 = subtractInt16(kHighestDataValue, out.data1);
    }
    if (out.status == kControlChangeChannel1 && out.data1 == kModulationWheel) {
        out.status = kNoteOnChannel1;
        out.data1 = settings.wheelNote();
    }
    return out;
}

}  // namespace keyflip
