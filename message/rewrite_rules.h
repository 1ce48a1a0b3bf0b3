#pragma once

#include "rewrite_settings.h"
#include "short_message.h"

namespace keyflip {

// The three rules in order: transpose notes, mirror data1 when reverse is on,
// turn the channel-1 modulation wheel into a Note On of the wheel note.
// Results are not clamped; only status and data1 ever change.
ShortMessage rewrite(const ShortMessage& incoming, const RewriteSettings& settings);

}  // namespace keyflip
