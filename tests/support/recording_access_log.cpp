#include "recording_access_log.h"

namespace keyflip {

namespace {

std::string line(std::string_view port, std::string_view member, std::string_view arrow,
                 std::string_view value) {
    std::string text;
    text.reserve(port.size() + member.size() + value.size() + 6);
    text.append(port).append(".").append(member).append(arrow).append(value);
    return text;
}

}  // namespace

void RecordingAccessLog::recordWrite(std::string_view port, std::string_view member,
                                     std::string_view value) {
    lines_.push_back(line(port, member, " <- ", value));
}

void RecordingAccessLog::recordRead(std::string_view port, std::string_view member,
                                    std::string_view value) {
    lines_.push_back(line(port, member, " -> ", value));
}

std::vector<std::string> RecordingAccessLog::commands() const {
    std::vector<std::string> result;
    for (const auto& entry : lines_) {
        if (entry.find(".PortCommand <- ") != std::string::npos) {
            result.push_back(entry);
        }
    }
    return result;
}

}  // namespace keyflip
