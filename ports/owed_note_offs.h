#pragma once

#include "midi_backend.h"
#include "midi_status.h"
#include "short_message.h"
#include "wire_format.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace keyflip {

// The output's ledger of notes sounding: per channel and pitch, Note Ons sent
// and not yet answered by a Note Off, so closing never leaves one sounding.
// Counted, not flagged: two keys (or one struck twice) may sound the same
// pitch, and each needs its Note Off. What cannot be released (the MIDI
// system is gone) stays owed and goes out on the next connection.
//
// A Note Off counts only where it went: one that missed a connection (it was
// full, or refused it) leaves its note sounding there, so it stays owed, as
// released, since its key is up, and is sent again. An extra Note Off is
// harmless; a missing one leaves a note droning.
class OwedNoteOffs {
public:
    using Send = std::function<Delivery(const WireMessage&)>;

    // A message sent, and how far it got: a Note On that reached any
    // connection owes a Note Off, and a Note Off pays one when it reached
    // every connection.
    void track(const ShortMessage& sent, Delivery delivery);
    // Undoes, newest first, what messages that never left did to the count.
    void untrack(const std::vector<WireMessage>& unsent);
    // Sends the Note Offs owed, one per pitch before any pitch gets a
    // second; stops at the first one no connection takes, which stays owed.
    void sendAll(const Send& send);
    // Sends again the Note Offs owed for keys that are up; stops at the first
    // one that misses a connection again.
    void sendReleased(const Send& send);
    bool anyReleased() const { return released_ > 0; }

private:
    struct Pitch {
        std::uint16_t owed = 0;      // Note Offs the pitch still needs
        std::uint16_t released = 0;  // of those, the ones for keys that are up
    };

    void noteOffSent(Pitch& pitch, Delivery delivery);
    void setReleased(Pitch& pitch, std::size_t released);

    std::array<std::array<Pitch, midi::kNotes>, midi::kChannels> pitches_{};
    std::size_t released_ = 0;  // over all pitches
};

}  // namespace keyflip
