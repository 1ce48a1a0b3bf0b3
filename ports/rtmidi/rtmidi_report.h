#pragma once

#include "port_texts.h"

#include <RtMidi.h>

#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace keyflip {

// Once it has an error callback RtMidi never throws: a port that did not
// open, a virtual port the platform cannot make (Windows) or a message not
// sent is only reported to the callback, and the call returns as if it had
// worked. What it reported during a call is kept here and asked for after
// it. The callback may also come from RtMidi's own input thread.
class RtMidiReport {
public:
    struct Error {
        RtMidiError::Type type;
        std::string text;
    };

    static void record(RtMidiError::Type type, const std::string& text, void* report) {
        if (type == RtMidiError::DEBUG_WARNING) {
            return;
        }
        auto* self = static_cast<RtMidiReport*>(report);
        const std::lock_guard lock(self->mutex_);
        if (!self->error_) {
            self->error_ = Error{type, text};
        }
    }
    void clear() {
        const std::lock_guard lock(mutex_);
        error_.reset();
    }
    std::optional<Error> take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(error_, std::nullopt);
    }

private:
    std::mutex mutex_;
    std::optional<Error> error_;
};

// What an error RtMidi reported while a port opened means to the user. A
// warning while a virtual port opens is RtMidi saying the system has none.
inline texts::RtMidiFailure failureOf(RtMidiError::Type type, bool virtualPort) {
    switch (type) {
        case RtMidiError::MEMORY_ERROR:
            return texts::RtMidiFailure::OutOfMemory;
        case RtMidiError::THREAD_ERROR:
            return texts::RtMidiFailure::NoThread;
        case RtMidiError::WARNING:
            return virtualPort ? texts::RtMidiFailure::Unsupported : texts::RtMidiFailure::Refused;
        case RtMidiError::NO_DEVICES_FOUND:
        case RtMidiError::INVALID_DEVICE:
        case RtMidiError::INVALID_PARAMETER:
        case RtMidiError::INVALID_USE:
        case RtMidiError::DRIVER_ERROR:
            return texts::RtMidiFailure::Refused;
        default:
            return texts::RtMidiFailure::Other;
    }
}

}  // namespace keyflip
