#pragma once

#include "midi_status.h"
#include "short_message.h"
#include "wire_format.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace keyflip {

// The output's ledger of notes sounding: per channel and pitch, Note Ons sent
// and not yet answered by a Note Off, so closing never leaves one sounding.
// Counted, not flagged: two keys (or one struck twice) may sound the same
// pitch, and each needs its Note Off. What cannot be released (the MIDI
// system is gone) stays owed and goes out on the next connection.
class OwedNoteOffs {
public:
    // A message that was sent: a Note On owes a Note Off, a Note Off pays one.
    void track(const ShortMessage& sent);
    // Undoes, newest first, what messages that never left did to the count.
    void untrack(const std::vector<WireMessage>& unsent);
    // Sends the Note Offs owed, one per pitch before any pitch gets a
    // second; stops at the first one send refuses, which stays owed.
    void sendAll(const std::function<bool(const WireMessage&)>& send);

private:
    std::array<std::array<std::uint16_t, midi::kNotes>, midi::kChannels> owed_{};
};

}  // namespace keyflip
