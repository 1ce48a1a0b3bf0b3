#pragma once

// What both ports do with their members: the log of every access that a
// test backend keeps, the largest list a 16-bit count can give, the
// refusal of a value a member does not take, and the word to the window
// thread's scheduling as a port opens or closes.

#include "midi_backend.h"
#include "port_access_log.h"
#include "program_error.h"
#include "scheduling/window_thread_scheduling.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include <QString>

namespace keyflip::members {

inline constexpr std::size_t kMaxListed = std::numeric_limits<std::int16_t>::max();

inline std::int16_t countAsInt16(std::size_t count) {
    return static_cast<std::int16_t>(std::min(count, kMaxListed));
}

inline void logRead(PortAccessLog* log, const char* port, const char* member, long value) {
    if (log) {
        log->recordRead(port, member, std::to_string(value));
    }
}

inline void logRead(PortAccessLog* log, const char* port, const char* member,
                    const QString& value) {
    if (log) {
        log->recordRead(port, member, value.toStdString());
    }
}

inline void logWrite(PortAccessLog* log, const char* port, const char* member, long value) {
    if (log) {
        log->recordWrite(port, member, std::to_string(value));
    }
}

[[noreturn]] inline void refuseValue() {
    throw ProgramError(kInvalidPropertyValueDescription);
}

inline void tellOpened(MidiBackend& backend) {
    if (WindowThreadScheduling* scheduling = backend.windowThreadScheduling()) {
        scheduling->portOpened();
    }
}

inline void tellClosed(MidiBackend& backend) {
    if (WindowThreadScheduling* scheduling = backend.windowThreadScheduling()) {
        scheduling->portClosed();
    }
}

}  // namespace keyflip::members
