#pragma once

#include <cstddef>
#include <cstdint>

// MIDI status classes and masks, named once. A channel message's status
// byte carries its class in the high four bits and its channel (0 for
// channel 1) in the low four.
namespace keyflip::midi {

inline constexpr std::int16_t kClassMask = 0xF0;
inline constexpr std::int16_t kChannelMask = 0x0F;

inline constexpr std::int16_t kNoteOff = 0x80;  // 128..143
inline constexpr std::int16_t kNoteOn = 0x90;   // 144..159
inline constexpr std::int16_t kLastNoteOn = kNoteOn | kChannelMask;
inline constexpr std::int16_t kControlChange = 0xB0;  // 176..191

inline constexpr std::int16_t kModulationWheel = 1;  // controller number
inline constexpr std::int16_t kHighestDataValue = 127;

inline constexpr std::size_t kChannels = 16;
inline constexpr std::size_t kNotes = 128;

}  // namespace keyflip::midi
