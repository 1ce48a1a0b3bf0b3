#pragma once

#include "port_access_log.h"

#include <string>
#include <string_view>
#include <vector>

namespace keyflip {

// Every member access of both ports, in order, as lines such as
// "in.PortCommand <- 4" (a write) and "out.PortState -> 1" (a read and the
// value it gave). Tests compare these lines to prove call orders.
class RecordingAccessLog : public PortAccessLog {
public:
    void recordWrite(std::string_view port, std::string_view member,
                     std::string_view value) override;
    void recordRead(std::string_view port, std::string_view member,
                    std::string_view value) override;

    const std::vector<std::string>& lines() const { return lines_; }
    // Only the PortCommand writes, as "in.PortCommand <- 4".
    std::vector<std::string> commands() const;
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

}  // namespace keyflip
