#pragma once

#include <cstdint>

namespace keyflip {

// The live settings the rules read while they run. They are queried at the
// moment a rule needs them, never copied ahead, so a scroll bar move takes
// effect on the very next message.
class RewriteSettings {
public:
    virtual ~RewriteSettings() = default;
    virtual std::int16_t transposeAmount() const = 0;
    virtual bool reverseFlag() const = 0;
    virtual std::int16_t wheelNote() const = 0;
};

}  // namespace keyflip
