#pragma once

#include <cstdint>

namespace keyflip {

// Command codes written to a port's PortCommand member.
inline constexpr std::int16_t PORT_OPEN = 1;
inline constexpr std::int16_t PORT_CLOSE = 2;
inline constexpr std::int16_t PORT_START = 4;
inline constexpr std::int16_t PORT_STOP = 5;
inline constexpr std::int16_t MSG_DROP = 6;
inline constexpr std::int16_t MSG_SEND = 7;

// PortState readings: 0 closed, 1 open, anything else started.
inline constexpr std::int16_t PORT_STATE_CLOSED = 0;
inline constexpr std::int16_t PORT_STATE_OPEN = 1;
inline constexpr std::int16_t PORT_STATE_STARTED = 2;

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
