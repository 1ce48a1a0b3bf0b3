#pragma once

#include <string_view>

namespace keyflip {

// Where the ports report every member access, in order: a write as the value
// written, a read with the value it gave. Only a backend for tests hands one
// out (MidiBackend::accessLog); the program's own backends have none, and
// then the ports report nothing.
class PortAccessLog {
public:
    virtual ~PortAccessLog() = default;
    virtual void recordWrite(std::string_view port, std::string_view member,
                             std::string_view value) = 0;
    virtual void recordRead(std::string_view port, std::string_view member,
                            std::string_view value) = 0;
};

}  // namespace keyflip
