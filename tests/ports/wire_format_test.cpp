#include "wire_format.h"
#include "short_message_printing.h"

#include <gtest/gtest.h>

#include <vector>

namespace keyflip {
namespace {

struct StatusClass {
    int first;
    int last;
    std::size_t length;
};

// Every status value and the bytes it takes on the wire.
const StatusClass kStatusClasses[] = {
    {0, 127, 0},    // data bytes
    {128, 191, 3},  // note off, note on, poly pressure, control change
    {192, 223, 2},  // program change, channel pressure
    {224, 239, 3},  // pitch bend
    {240, 240, 0},  // system exclusive
    {241, 241, 2},  // time code quarter frame
    {242, 242, 3},  // song position
    {243, 243, 2},  // song select
    {244, 245, 0},  // undefined
    {246, 246, 1},  // tune request
    {247, 247, 0},  // end of exclusive
    {248, 255, 1},  // real time
};

TEST(WireFormat, EveryStatusHasItsLength) {
    for (const auto& c : kStatusClasses) {
        for (int status = c.first; status <= c.last; ++status) {
            EXPECT_EQ(shortMessageLength(status), c.length) << status;
        }
    }
    EXPECT_EQ(shortMessageLength(-1), 0u);
    EXPECT_EQ(shortMessageLength(256), 0u);
}

TEST(WireFormat, EncodeThenDecodeGivesTheSameMessageForEveryStatus) {
    for (int status = 128; status <= 255; ++status) {
        const std::size_t length = shortMessageLength(status);
        const ShortMessage message{static_cast<std::int16_t>(status),
                                   static_cast<std::int16_t>(length >= 2 ? 17 : 0),
                                   static_cast<std::int16_t>(length == 3 ? 127 : 0)};
        const auto wire = encodeShortMessage(message);
        if (length == 0) {
            EXPECT_FALSE(wire) << status;
            continue;
        }
        ASSERT_TRUE(wire) << status;
        EXPECT_EQ(wire->size, length);
        EXPECT_EQ(decodeShortMessage(wire->view()), std::optional<ShortMessage>(message)) << status;
    }
}

TEST(WireFormat, EncodesTheGoldenBytes) {
    const struct {
        ShortMessage message;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {{144, 60, 100}, {0x90, 60, 100}}, {{128, 0, 0}, {0x80, 0, 0}},
        {{192, 5, 99}, {0xC0, 5}},       // the unused data2 is not on the wire
        {{208, 127, -40}, {0xD0, 127}},  // nor is an out-of-range unused data2
        {{248, 300, -1}, {0xF8}},        // a real-time message carries no data
        {{242, 1, 2}, {0xF2, 1, 2}},       {{241, 3, 9}, {0xF1, 3}},
    };
    for (const auto& c : cases) {
        const auto wire = encodeShortMessage(c.message);
        ASSERT_TRUE(wire) << c.message.status;
        EXPECT_EQ(std::vector<std::uint8_t>(wire->view().begin(), wire->view().end()), c.bytes);
    }
}

TEST(WireFormat, RefusesWhatWouldCorruptTheStream) {
    const ShortMessage refused[] = {
        {159, 139, 64},     // a note transposed above 127
        {144, -12, 64},     // a mirrored note below 0
        {144, 60, 128},     // data2 that would read as a status byte
        {224, 0, -1},       // pitch bend with a negative second byte
        {192, 128, 0},      // program change with a status byte for data1
        {127, 60, 60},      // a data byte where the status belongs
        {-112, 60, 60},     // negative status
        {256 + 144, 1, 1},  // a status above one byte
        {240, 1, 1},        // system exclusive is not a short message
        {247, 0, 0},       {INT16_MIN, INT16_MIN, INT16_MIN}, {INT16_MAX, INT16_MAX, INT16_MAX},
    };
    for (const auto& message : refused) {
        EXPECT_FALSE(encodeShortMessage(message))
            << message.status << " " << message.data1 << " " << message.data2;
    }
}

TEST(WireFormat, DecodesOnlyWholeWellFormedShortMessages) {
    const struct {
        std::vector<std::uint8_t> bytes;
        std::optional<ShortMessage> expected;
    } cases[] = {
        {{0x90, 60, 100}, ShortMessage{144, 60, 100}},
        {{0xC3, 7}, ShortMessage{195, 7, 0}},
        {{0xF8}, ShortMessage{248, 0, 0}},
        {{0xFE}, ShortMessage{254, 0, 0}},
        {{}, std::nullopt},
        {{0x90, 60}, std::nullopt},          // too short
        {{0x90, 60, 100, 1}, std::nullopt},  // too long
        {{0xC0, 1, 2}, std::nullopt},        // program change is two bytes
        {{0x90, 0x80, 100}, std::nullopt},   // a status in a data position
        {{0x90, 60, 0xFF}, std::nullopt},
        {{60, 100, 1}, std::nullopt},     // running status is not a message
        {{0xF0, 1, 0xF7}, std::nullopt},  // system exclusive
        {{0xF4}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeShortMessage(c.bytes), c.expected) << c.bytes.size();
    }
}

// Every 1-, 2- and 3-byte sequence: whatever is decoded encodes back to the
// very same bytes, so nothing the input accepts can corrupt the output.
TEST(WireFormat, EveryByteSequenceRoundTripsOrIsRefused) {
    std::size_t accepted = 0;
    std::uint8_t bytes[3];
    for (int length = 1; length <= 3; ++length) {
        const int combinations = 1 << (8 * length);
        for (int value = 0; value < combinations; ++value) {
            for (int i = 0; i < length; ++i) {
                bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
            }
            const std::span<const std::uint8_t> input(bytes, static_cast<std::size_t>(length));
            const auto message = decodeShortMessage(input);
            if (!message) {
                continue;
            }
            ++accepted;
            const auto wire = encodeShortMessage(*message);
            ASSERT_TRUE(wire);
            ASSERT_TRUE(
                std::equal(input.begin(), input.end(), wire->view().begin(), wire->view().end()));
        }
    }
    // 9 one-byte statuses, 2 * 16 + 2 two-byte ones, 5 * 16 + 1 three-byte ones.
    EXPECT_EQ(accepted, 9u + 34u * 128u + 81u * 128u * 128u);
}

}  // namespace
}  // namespace keyflip
