// Fuzz target for the byte decoding and encoding and the rules between them:
// whatever bytes arrive and whatever the settings are, what would go on the
// wire is a well-formed short message, and what was accepted from the wire
// goes back out unchanged.
#include "program_error.h"
#include "rewrite_rules.h"
#include "wire_format.h"

#include <cstdlib>
#include <cstring>

namespace {

using keyflip::ShortMessage;

struct FuzzSettings : keyflip::RewriteSettings {
    std::int16_t transpose = 0;
    bool reverse = false;
    std::int16_t wheel = 0;
    std::int16_t transposeAmount() const override { return transpose; }
    bool reverseFlag() const override { return reverse; }
    std::int16_t wheelNote() const override { return wheel; }
};

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkWellFormed(const keyflip::WireMessage& wire) {
    require(wire.size >= 1 && wire.size <= 3);
    require(wire.bytes[0] >= 0x80);
    require(keyflip::shortMessageLength(wire.bytes[0]) == wire.size);
    for (std::size_t i = 1; i < wire.size; ++i) {
        require(wire.bytes[i] < 0x80);
    }
}

std::int16_t takeInt16(const std::uint8_t* data) {
    std::int16_t value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // First byte: how many of the next bytes arrive from the wire (0..3).
    const std::size_t wireLength = std::min<std::size_t>(data[0] & 3, size - 1);
    const std::span<const std::uint8_t> incoming(data + 1, wireLength);
    if (const auto decoded = keyflip::decodeShortMessage(incoming)) {
        const auto encoded = keyflip::encodeShortMessage(*decoded);
        require(encoded.has_value());
        require(std::equal(incoming.begin(), incoming.end(), encoded->view().begin(),
                           encoded->view().end()));

        // The rules with settings from the input, as far as it goes.
        const std::uint8_t* rest = data + 1 + wireLength;
        const std::size_t restSize = size - 1 - wireLength;
        if (restSize >= 5) {
            FuzzSettings settings;
            settings.transpose = takeInt16(rest);
            settings.wheel = takeInt16(rest + 2);
            settings.reverse = rest[4] & 1;
            try {
                const ShortMessage out = keyflip::rewrite(*decoded, settings);
                require(out.data2 == decoded->data2);
                if (const auto wire = keyflip::encodeShortMessage(out)) {
                    checkWellFormed(*wire);
                }
            } catch (const keyflip::ProgramError& error) {
                require(std::strcmp(error.description(), "Overflow") == 0);
            }
        }
    }

    // Any triple of 16-bit values offered to the output.
    if (size >= 7) {
        const ShortMessage triple{takeInt16(data + 1), takeInt16(data + 3), takeInt16(data + 5)};
        if (const auto wire = keyflip::encodeShortMessage(triple)) {
            checkWellFormed(*wire);
            require(wire->bytes[0] == triple.status);
        } else {
            const std::size_t length = keyflip::shortMessageLength(triple.status);
            require(length == 0 || triple.data1 < 0 || triple.data1 > 127 ||
                    (length == 3 && (triple.data2 < 0 || triple.data2 > 127)));
        }
    }
    return 0;
}
