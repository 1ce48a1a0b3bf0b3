#pragma once

#include "int16_arithmetic.h"
#include "midi_status.h"
#include "rewrite_settings.h"
#include "short_message.h"

namespace keyflip {

// The three rules in order: transpose notes, mirror data1 when reverse is on,
// turn the channel-1 modulation wheel into a Note On of the wheel note.
// Results are not clamped; only status and data1 ever change. Inline, as it
// runs for every message.
inline ShortMessage rewrite(const ShortMessage& incoming, const RewriteSettings& settings) {
    using namespace midi;
    // Channel 1 is the low four bits at 0: the class value itself.
    constexpr std::int16_t kControlChangeChannel1 = kControlChange;
    constexpr std::int16_t kNoteOnChannel1 = kNoteOn;
    ShortMessage out = incoming;
    if (out.status >= kNoteOff && out.status <= kLastNoteOn) {
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
