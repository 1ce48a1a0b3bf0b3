#include "midi_backend.h"

namespace keyflip {

bool MidiBackend::checkReachable(std::optional<QString>& reasonToReport) {
    const std::optional<QString> reason = unreachableReason();
    if (!reason) {
        unreachableReported_ = false;
        return true;
    }
    if (!unreachableReported_) {
        unreachableReported_ = true;
        reasonToReport = reason;
    }
    return false;
}

}  // namespace keyflip
