#pragma once

#include "short_message.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace keyflip {

// A short message as it travels on the wire: 1 to 3 bytes.
struct WireMessage {
    std::array<std::uint8_t, 3> bytes{};
    std::uint8_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
    friend bool operator==(const WireMessage&, const WireMessage&) = default;
};

// Bytes a short message with this status takes on the wire, or 0 when the
// status is not one of a short message (data bytes, system exclusive and its
// end, and the undefined 244 and 245).
std::size_t shortMessageLength(int status);

// Bytes from the MIDI system to a triple: 1-byte messages become
// (status, 0, 0) and 2-byte ones (status, data1, 0). Anything that is not
// exactly one well-formed short message gives nothing.
std::optional<ShortMessage> decodeShortMessage(std::span<const std::uint8_t> bytes);

// A triple to bytes. A triple that would put a status byte in a data
// position, or a data byte where the status belongs, gives nothing: the wire
// never carries a corrupt byte.
std::optional<WireMessage> encodeShortMessage(const ShortMessage& message);

}  // namespace keyflip
