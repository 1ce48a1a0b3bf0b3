#pragma once

#include <QString>

#include <cstdint>

namespace keyflip {

// The codes a port reports through PortError. None and MessageNotSent are
// informational: the program shows the user no box for them.
namespace PortErrorCode {
// Nothing is wrong.
inline constexpr std::int16_t None = 0;
// No MIDI system can be reached.
inline constexpr std::int16_t NoMidiSystem = 1;
// The chosen device is not there (any more).
inline constexpr std::int16_t DeviceNotFound = 2;
// The device could not be opened or connected.
inline constexpr std::int16_t DeviceOpenFailed = 3;
// A port was started while it is not open.
inline constexpr std::int16_t PortNotOpen = 4;
// Incoming messages were lost: the input queue was full.
inline constexpr std::int16_t InputOverflow = 5;
// An open device, or the whole MIDI system, went away.
inline constexpr std::int16_t ConnectionLost = 6;
// Outgoing messages were lost: the output buffer was full.
inline constexpr std::int16_t OutputOverflow = 7;
// A message was not sent: a value does not fit on the wire.
inline constexpr std::int16_t MessageNotSent = 8;
}  // namespace PortErrorCode

// What went wrong, as a port reports it through PortError.
struct PortFault {
    std::int16_t code = 0;
    QString text;
};

}  // namespace keyflip
