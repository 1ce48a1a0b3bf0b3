#include "owed_note_offs.h"

#include <cstddef>

namespace keyflip {

void OwedNoteOffs::track(const ShortMessage& sent) {
    const int kind = sent.status & midi::kClassMask;
    if (kind != midi::kNoteOff && kind != midi::kNoteOn) {
        return;
    }
    std::uint16_t& owed = owed_[static_cast<std::size_t>(sent.status & midi::kChannelMask)]
                               [static_cast<std::size_t>(sent.data1)];
    if (kind == midi::kNoteOn && sent.data2 > 0) {
        owed = owed == UINT16_MAX ? owed : static_cast<std::uint16_t>(owed + 1);
    } else if (owed > 0) {
        --owed;
    }
}

// A Note Off that never left is owed again; an extra Note Off is harmless, a
// missing one leaves a note droning.
void OwedNoteOffs::untrack(const std::vector<WireMessage>& unsent) {
    for (auto message = unsent.rbegin(); message != unsent.rend(); ++message) {
        if (message->size != 3) {
            continue;
        }
        const int kind = message->bytes[0] & midi::kClassMask;
        if (kind != midi::kNoteOff && kind != midi::kNoteOn) {
            continue;
        }
        std::uint16_t& owed = owed_[message->bytes[0] & midi::kChannelMask][message->bytes[1]];
        if (kind == midi::kNoteOn && message->bytes[2] > 0) {
            if (owed > 0) {
                --owed;
            }
        } else if (owed < UINT16_MAX) {
            ++owed;
        }
    }
}

// A pitch may owe hundreds (the wheel note is struck again by every wheel
// message); should the destination take only part of them (a full buffer
// drops the rest), the other notes are silenced all the same.
void OwedNoteOffs::sendAll(const std::function<bool(const WireMessage&)>& send) {
    for (const bool onePerPitch : {true, false}) {
        for (std::size_t channel = 0; channel < owed_.size(); ++channel) {
            for (std::size_t note = 0; note < owed_[channel].size(); ++note) {
                std::uint16_t& owed = owed_[channel][note];
                WireMessage noteOff;
                noteOff.size = 3;
                noteOff.bytes = {static_cast<std::uint8_t>(midi::kNoteOff | channel),
                                 static_cast<std::uint8_t>(note), 0};
                while (owed > 0) {
                    if (!send(noteOff)) {
                        return;
                    }
                    --owed;
                    if (onePerPitch) {
                        break;
                    }
                }
            }
        }
    }
}

}  // namespace keyflip
