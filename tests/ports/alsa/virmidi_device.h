#pragma once

// The kernel's virtual raw MIDI devices as hardware MIDI interfaces for tests:
// bytes written to a device's raw side come out of its sequencer port parsed
// as a DIN cable's bytes are, and what reaches the port can be read back raw.

#include "wire_format.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace keyflip::alsatest {

// A virtual raw MIDI device: its sequencer port's name and its raw side.
struct VirmidiDevice {
    std::string portName;
    std::string rawName;  // "hw:CARD,DEVICE"
};

// Every virtual raw MIDI device the sequencer shows, found by client name.
std::vector<VirmidiDevice> findVirmidiDevices();

// The raw side of a device, opened for both directions.
class RawMidi {
public:
    explicit RawMidi(const std::string& name);
    ~RawMidi();
    RawMidi(const RawMidi&) = delete;
    RawMidi& operator=(const RawMidi&) = delete;

    bool ok() const { return in_ != nullptr && out_ != nullptr; }
    // Writes everything, waiting while the device's buffer is full.
    bool write(const std::vector<std::uint8_t>& bytes);
    // Reads what has arrived and appends it.
    void readInto(std::vector<std::uint8_t>& bytes);

private:
    snd_rawmidi_t* in_ = nullptr;
    snd_rawmidi_t* out_ = nullptr;
};

// Splits a raw byte stream into short messages as a receiving device would:
// running status honoured, real-time bytes taken wherever they fall, SysEx
// and anything without a status left out.
std::vector<WireMessage> parseStream(const std::vector<std::uint8_t>& bytes);

}  // namespace keyflip::alsatest
