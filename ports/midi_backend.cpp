#include "midi_backend.h"

namespace keyflip {

bool MidiBackend::claimUnreachableReport(bool unreachable) {
    if (!unreachable) {
        unreachableReported_ = false;
        return false;
    }
    if (unreachableReported_) {
        return false;
    }
    unreachableReported_ = true;
    return true;
}

}  // namespace keyflip
