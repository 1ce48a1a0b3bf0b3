#include "midi_backend.h"

#include <algorithm>

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

bool MidiBackend::isListed(PortSide side, const std::string& name) {
    const std::vector<std::string> names =
        side == PortSide::Input ? sourceNames() : destinationNames();
    return std::ranges::find(names, name) != names.end();
}

}  // namespace keyflip
