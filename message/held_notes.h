#pragma once

#include "midi_status.h"
#include "short_message.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace keyflip {

bool isNoteOn(const ShortMessage& message);   // 144..159 with velocity above 0
bool isNoteOff(const ShortMessage& message);  // 128..143, or 144..159 with velocity 0

// Remembers, per channel and incoming key, the pitches its Note Ons went out
// on. The settings may move while a key is held; its Note Off must still
// reach a pitch that is sounding, or that note never stops.
//
// A key may be struck again before its Note Off (sequencers overlap notes of
// one key all the time), so each key keeps every pitch sent for it, oldest
// first, and each Note Off releases the oldest: first in, first out, as
// synthesizers pair overlapping notes of one pitch.
class HeldNotes {
public:
    // Overlapping Note Ons kept per key; beyond this the oldest is forgotten
    // here (the output port still releases it when it closes).
    static constexpr std::size_t kMaxOverlap = 64;

    // Keys outside 0..127 cannot be held on a real keyboard and are ignored.
    void remember(const ShortMessage& noteOn, std::int16_t sentPitch);
    // The pitch the oldest matching Note On went out on, forgotten as it is
    // returned.
    std::optional<std::int16_t> release(const ShortMessage& noteOff);
    // Hands every remembered (channel, pitch) to release, oldest first per
    // key, and forgets them all.
    void releaseAll(const std::function<void(int channel, std::int16_t pitch)>& release);

private:
    // Consecutive Note Ons of one key on one pitch, as a sequencer repeating a
    // note with the settings unchanged sends them.
    struct Run {
        std::int16_t pitch;
        std::uint8_t count;
    };
    // Each key's runs, oldest first. Runs keep a key's memory to one entry
    // however often it is struck on the same pitch. Empty vectors allocate
    // nothing; a key's vector keeps its capacity, so a key played again costs
    // no allocation.
    std::array<std::array<std::vector<Run>, midi::kNotes>, midi::kChannels> runs_;
};

}  // namespace keyflip
