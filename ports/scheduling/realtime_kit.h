#pragma once

// The desktop's RealtimeKit service (org.freedesktop.RealtimeKit1 on the
// system bus, or wherever DBUS_SYSTEM_BUS_ADDRESS points), which raises a
// thread of a user without the rights to raise it himself. Every call waits
// a short while at most and never lets the service ask the user for a
// password. Linux only; call from a thread with a Qt application object.

#include "scheduling_choice.h"

#include <chrono>
#include <optional>

namespace keyflip::scheduling::realtime_kit {

// Long enough for the bus to start the service on its first call.
inline constexpr std::chrono::milliseconds kCallTimeout{500};

// Its maxima; nothing when no service answers.
std::optional<RealtimeKitOffer> ask();
// thread: the kernel's id of a thread of this process.
bool makeThreadRealtime(long long thread, int priority);
bool makeThreadHighPriority(long long thread, int nice);

}  // namespace keyflip::scheduling::realtime_kit
