#include "owed_note_offs.h"

#include <algorithm>

namespace keyflip {

namespace {

constexpr std::uint16_t kMostOwed = UINT16_MAX;

WireMessage noteOffFor(std::size_t channel, std::size_t note) {
    WireMessage noteOff;
    noteOff.size = 3;
    noteOff.bytes = {static_cast<std::uint8_t>(midi::kNoteOff | channel),
                     static_cast<std::uint8_t>(note), 0};
    return noteOff;
}

}  // namespace

void OwedNoteOffs::track(const ShortMessage& sent, Delivery delivery) {
    const int kind = sent.status & midi::kClassMask;
    if (kind != midi::kNoteOff && kind != midi::kNoteOn) {
        return;
    }
    Pitch& pitch = pitches_[static_cast<std::size_t>(sent.status & midi::kChannelMask)]
                           [static_cast<std::size_t>(sent.data1)];
    if (kind == midi::kNoteOn && sent.data2 > 0) {
        // It sounds wherever it arrived.
        if (delivery != Delivery::Refused && pitch.owed < kMostOwed) {
            ++pitch.owed;
        }
        return;
    }
    noteOffSent(pitch, delivery);
}

// A Note Off that never left is owed again, for a key that is up.
void OwedNoteOffs::untrack(const std::vector<WireMessage>& unsent) {
    for (auto message = unsent.rbegin(); message != unsent.rend(); ++message) {
        if (message->size != 3) {
            continue;
        }
        const int kind = message->bytes[0] & midi::kClassMask;
        if (kind != midi::kNoteOff && kind != midi::kNoteOn) {
            continue;
        }
        Pitch& pitch = pitches_[message->bytes[0] & midi::kChannelMask][message->bytes[1]];
        if (kind == midi::kNoteOn && message->bytes[2] > 0) {
            if (pitch.owed > 0) {
                --pitch.owed;
            }
            setReleased(pitch, std::min(pitch.released, pitch.owed));
        } else if (pitch.owed < kMostOwed) {
            ++pitch.owed;
            setReleased(pitch, pitch.released + std::size_t{1});
        }
    }
}

// A pitch may owe hundreds (the wheel note is struck again by every wheel
// message); should the destination take only part of them (a full buffer
// drops the rest), the other notes are silenced all the same. A pitch whose
// Note Off missed a connection gets no more in that pass: they would miss it
// too.
void OwedNoteOffs::sendAll(const Send& send) {
    std::array<std::array<std::uint16_t, midi::kNotes>, midi::kChannels> missed{};
    for (const bool onePerPitch : {true, false}) {
        for (std::size_t channel = 0; channel < pitches_.size(); ++channel) {
            for (std::size_t note = 0; note < pitches_[channel].size(); ++note) {
                Pitch& pitch = pitches_[channel][note];
                const auto unsent = static_cast<std::uint16_t>(pitch.owed - missed[channel][note]);
                std::uint16_t left = onePerPitch ? std::min<std::uint16_t>(unsent, 1) : unsent;
                for (; left > 0; --left) {
                    const Delivery delivery = send(noteOffFor(channel, note));
                    noteOffSent(pitch, delivery);
                    if (delivery == Delivery::Refused) {
                        return;
                    }
                    if (delivery == Delivery::Partly) {
                        ++missed[channel][note];
                        break;
                    }
                }
            }
        }
    }
}

void OwedNoteOffs::sendReleased(const Send& send) {
    for (std::size_t channel = 0; channel < pitches_.size() && released_ > 0; ++channel) {
        for (std::size_t note = 0; note < pitches_[channel].size(); ++note) {
            Pitch& pitch = pitches_[channel][note];
            while (pitch.released > 0) {
                if (send(noteOffFor(channel, note)) != Delivery::Everywhere) {
                    return;
                }
                --pitch.owed;
                setReleased(pitch, pitch.released - std::size_t{1});
            }
        }
    }
}

// Reaching every connection pays a Note Off owed; missing any leaves the note
// sounding there, for a key that is up now.
void OwedNoteOffs::noteOffSent(Pitch& pitch, Delivery delivery) {
    if (delivery == Delivery::Everywhere) {
        if (pitch.owed > 0) {
            --pitch.owed;
        }
        setReleased(pitch, std::min(pitch.released, pitch.owed));
    } else if (pitch.released < pitch.owed) {
        setReleased(pitch, pitch.released + std::size_t{1});
    }
}

void OwedNoteOffs::setReleased(Pitch& pitch, std::size_t released) {
    released_ = released_ - pitch.released + released;
    pitch.released = static_cast<std::uint16_t>(released);
}

}  // namespace keyflip
