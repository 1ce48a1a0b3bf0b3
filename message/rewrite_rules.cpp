#include "rewrite_rules.h"

#include "int16_arithmetic.h"

namespace keyflip {

namespace {

constexpr std::int16_t kFirstNoteStatus = 128;
constexpr std::int16_t kLastNoteStatus = 159;
constexpr std::int16_t kControlChangeChannel1 = 176;
constexpr std::int16_t kNoteOnChannel1 = 144;
constexpr std::int16_t kModulationWheel = 1;
constexpr std::int16_t kHighestDataValue = 127;

}  // namespace

ShortMessage rewrite(const ShortMessage& incoming, const RewriteSettings& settings) {
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
