#pragma once

#include "port_commands.h"

#include <cstdint>

namespace keyflip {

// The members of an input port that the message pump uses.
class InputPortMembers {
public:
    virtual ~InputPortMembers() = default;
    virtual std::int16_t pendingCount() = 0;
    virtual std::int16_t msgStatus() = 0;
    virtual std::int16_t msgData1() = 0;
    virtual std::int16_t msgData2() = 0;
    virtual void setPortCommand(std::int16_t code) = 0;
};

// The members of an output port that the message pump uses.
class OutputPortMembers {
public:
    virtual ~OutputPortMembers() = default;
    virtual void setMsgStatus(std::int16_t value) = 0;
    virtual void setMsgData1(std::int16_t value) = 0;
    virtual void setMsgData2(std::int16_t value) = 0;
    virtual void setPortCommand(std::int16_t code) = 0;
};

}  // namespace keyflip
