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

}  // namespace keyflip
