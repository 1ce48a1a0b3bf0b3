#include "wire_format.h"

#include "midi_status.h"

namespace keyflip {

namespace {

bool isDataByte(int value) {
    return value >= 0 && value <= midi::kHighestDataValue;
}

}  // namespace

std::size_t shortMessageLength(int status) {
    if (status < 128 || status > 255) {
        return 0;
    }
    if (status < 192 || (status >= 224 && status < 240) || status == 242) {
        return 3;
    }
    if (status < 224 || status == 241 || status == 243) {
        return 2;
    }
    if (status == 246 || status >= 248) {
        return 1;
    }
    return 0;
}

std::optional<ShortMessage> decodeShortMessage(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || shortMessageLength(bytes[0]) != bytes.size()) {
        return std::nullopt;
    }
    ShortMessage message;
    message.status = bytes[0];
    if (bytes.size() >= 2) {
        if (!isDataByte(bytes[1])) {
            return std::nullopt;
        }
        message.data1 = bytes[1];
    }
    if (bytes.size() == 3) {
        if (!isDataByte(bytes[2])) {
            return std::nullopt;
        }
        message.data2 = bytes[2];
    }
    return message;
}

std::optional<WireMessage> encodeShortMessage(const ShortMessage& message) {
    const std::size_t length = shortMessageLength(message.status);
    if (length == 0) {
        return std::nullopt;
    }
    if (length >= 2 && !isDataByte(message.data1)) {
        return std::nullopt;
    }
    if (length == 3 && !isDataByte(message.data2)) {
        return std::nullopt;
    }
    WireMessage wire;
    wire.size = static_cast<std::uint8_t>(length);
    wire.bytes[0] = static_cast<std::uint8_t>(message.status);
    if (length >= 2) {
        wire.bytes[1] = static_cast<std::uint8_t>(message.data1);
    }
    if (length == 3) {
        wire.bytes[2] = static_cast<std::uint8_t>(message.data2);
    }
    return wire;
}

}  // namespace keyflip
