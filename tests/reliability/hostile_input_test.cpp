// Every short message the input can be handed, through the program's real
// path in memory, and every class of 16-bit triple written to a real output
// port: nothing crashes, nothing is undefined, and what reaches the wire is
// always well-formed.

#include "in_memory_backend.h"
#include "message_pump.h"
#include "midi_port.h"
#include "port_test_support.h"
#include "program_error.h"
#include "rewrite_rules.h"
#include "wire_format.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <span>
#include <vector>

namespace keyflip {
namespace {

// Sanitizer builds walk every KEYFLIP_EXHAUSTIVE_STRIDE-th data byte (and the
// edges); plain builds walk all of them.
constexpr int kStride = KEYFLIP_EXHAUSTIVE_STRIDE;

using LiveSettings = testing_support::PlainSettings;

struct QuietDisplay : MessageDisplay {
    void setStatusText(std::string_view) override {}
    void setData1Text(std::string_view) override {}
    void setData2Text(std::string_view) override {}
};

bool wellFormed(const WireMessage& message) {
    if (message.size < 1 || message.size > 3 || message.bytes[0] < 0x80 ||
        shortMessageLength(message.bytes[0]) != message.size) {
        return false;
    }
    for (std::size_t index = 1; index < message.size; ++index) {
        if (message.bytes[index] >= 0x80) {
            return false;
        }
    }
    return true;
}

std::vector<int> byteValues(int stride) {
    std::vector<int> values;
    for (int value = 0; value < 256; ++value) {
        if (value % stride == 0 || value == 0x7F || value == 0x80 || value == 0xFF) {
            values.push_back(value);
        }
    }
    return values;
}

// The program's path with the window's parts in memory: deliver -> input
// port -> Message -> pump -> output port -> sent bytes.
class Path {
public:
    Path() : pump_(input, output, settings, display_) {
        const auto record = [this](qint16& code, QString&) { ++errors[code]; };
        QObject::connect(&input, &MidiInputPort::PortError, record);
        QObject::connect(&output, &MidiOutputPort::PortError, record);
        QObject::connect(&input, &MidiInputPort::Message, [this] { pump_.run(); });
        input.setDeviceIndex(0);
        output.setDeviceIndex(-1);
        input.setPortCommand(PORT_OPEN);
        output.setPortCommand(PORT_OPEN);
        input.setPortCommand(PORT_START);
        output.setPortCommand(PORT_START);
    }

    // Lets the pump pass on everything delivered.
    bool drain() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (input.pendingCount() > 0) {
            QCoreApplication::processEvents();
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
        }
        QCoreApplication::processEvents();
        backend.log().clear();
        return true;
    }

    InMemoryBackend backend;
    MidiInputPort input{backend};
    MidiOutputPort output{backend};
    LiveSettings settings;
    std::map<int, std::size_t> errors;

private:
    QuietDisplay display_;
    MessagePump pump_;
};

TEST(HostileInput, EveryShortByteSequenceThroughThePortsAndPumpLeavesWellFormed) {
    Path path;
    ASSERT_EQ(path.input.portState(), 2);
    ASSERT_EQ(path.output.portState(), 2);
    const auto values = byteValues(kStride);
    std::size_t delivered = 0;
    std::size_t decoded = 0;
    std::size_t notSent = 0;
    std::size_t checked = 0;
    std::size_t mismatched = 0;
    std::size_t malformed = 0;
    std::size_t nextSent = 0;

    // Checks what was sent since the last call against what was decoded.
    std::vector<ShortMessage> expectedRewrites;
    const auto check = [&] {
        ASSERT_TRUE(path.drain());
        const auto& sent = path.backend.sent();
        for (; nextSent < sent.size(); ++nextSent) {
            if (!wellFormed(sent[nextSent])) {
                ++malformed;
                ADD_FAILURE() << "malformed: " << int{sent[nextSent].bytes[0]} << ' '
                              << int{sent[nextSent].size};
            }
        }
        expectedRewrites.clear();
        path.backend.clearSent();
        nextSent = 0;
    };
    const auto deliver = [&](std::span<const std::uint8_t> bytes) {
        ++delivered;
        const auto message = decodeShortMessage(bytes);
        EXPECT_EQ(path.backend.deliver(bytes), message.has_value());
        if (!message) {
            return;
        }
        ++decoded;
        // Outside Note Offs (which follow the pitch that sounds) the result is
        // the rules' own, or nothing when it does not fit on the wire.
        const ShortMessage rewritten = rewrite(*message, path.settings);
        const bool noteOff = (message->status & 0xF0) == 0x80 ||
                             ((message->status & 0xF0) == 0x90 && message->data2 == 0);
        const std::size_t before = path.backend.sent().size();
        ASSERT_TRUE(path.drain());
        const auto& sent = path.backend.sent();
        if (sent.size() == before) {
            ++notSent;
            EXPECT_FALSE(encodeShortMessage(rewritten).has_value() && !noteOff);
        } else if (!noteOff) {
            ++checked;
            if (sent.back() != encodeShortMessage(rewritten)) {
                ++mismatched;
            }
        }
    };

    std::array<std::uint8_t, 3> bytes{};
    for (int first = 0; first < 256; ++first) {
        bytes[0] = static_cast<std::uint8_t>(first);
        deliver({bytes.data(), 1});
        for (const int second : values) {
            bytes[1] = static_cast<std::uint8_t>(second);
            deliver({bytes.data(), 2});
            // The settings move as a player would move them, between messages.
            path.settings.transpose = static_cast<std::int16_t>(second % 13);
            path.settings.reverse = ((first ^ second) & 1) != 0;
            path.settings.wheel = static_cast<std::int16_t>((second * 7) % 128);
            const bool shortMessageStatus = shortMessageLength(first) == 3;
            for (const int third : values) {
                bytes[2] = static_cast<std::uint8_t>(third);
                if (shortMessageStatus) {
                    deliver({bytes.data(), 3});
                } else {
                    // Cannot decode: counted without a round through the loop.
                    ++delivered;
                    EXPECT_FALSE(path.backend.deliver({bytes.data(), 3}));
                }
            }
            check();
            if (::testing::Test::HasFatalFailure() || mismatched > 10 || malformed > 10) {
                return;
            }
        }
    }
    // Closing releases what still sounds; those go out well-formed too.
    path.output.setPortCommand(PORT_CLOSE);
    for (const auto& message : path.backend.sent()) {
        EXPECT_TRUE(wellFormed(message));
    }
    EXPECT_EQ(mismatched, 0u);
    EXPECT_EQ(malformed, 0u);
    EXPECT_EQ(path.errors[PortErrorCode::MessageNotSent], notSent);
    EXPECT_EQ(path.errors.size(), notSent > 0 ? 1u : 0u);
    std::printf(
        "[ FIGURES  ] %zu byte sequences delivered, %zu decoded, %zu checked against the "
        "rules, %zu not sent (value off the wire), %zu Note Offs on closing, stride %d\n",
        delivered, decoded, checked, notSent, path.backend.sent().size(), kStride);
}

// The classes a 16-bit member can hold: the extremes, negatives, the edges
// of a data byte, status values in a data position, and past a byte.
std::vector<std::int16_t> sixteenBitClasses() {
    return {std::numeric_limits<std::int16_t>::min(),
            std::numeric_limits<std::int16_t>::min() + 1,
            -256,
            -129,
            -128,
            -127,
            -2,
            -1,
            0,
            1,
            63,
            64,
            126,
            127,
            128,
            129,
            143,
            144,
            191,
            240,
            247,
            248,
            254,
            255,
            256,
            257,
            1000,
            32640,
            std::numeric_limits<std::int16_t>::max() - 1,
            std::numeric_limits<std::int16_t>::max()};
}

TEST(HostileInput, EverySixteenBitTripleClassWrittenToARealOutputPort) {
    InMemoryBackend backend;
    MidiOutputPort output(backend);
    std::size_t unsent = 0;
    QObject::connect(&output, &MidiOutputPort::PortError, [&](qint16& code, QString&) {
        EXPECT_EQ(code, PortErrorCode::MessageNotSent);
        ++unsent;
    });
    output.setDeviceIndex(-1);
    output.setPortCommand(PORT_OPEN);
    output.setPortCommand(PORT_START);
    ASSERT_EQ(output.portState(), 2);

    const auto classes = sixteenBitClasses();
    // Every status byte, the classes, and a sweep over the rest.
    std::vector<std::int16_t> statuses = classes;
    for (int status = 0; status < 256; ++status) {
        statuses.push_back(static_cast<std::int16_t>(status));
    }
    for (int status = -32768; status <= 32767; status += 509) {
        statuses.push_back(static_cast<std::int16_t>(status));
    }
    std::size_t written = 0;
    std::size_t sent = 0;
    for (const std::int16_t status : statuses) {
        for (const std::int16_t data1 : classes) {
            for (const std::int16_t data2 : classes) {
                const std::size_t before = backend.sent().size();
                output.setMsgStatus(status);
                output.setMsgData1(data1);
                output.setMsgData2(data2);
                output.setPortCommand(MSG_SEND);
                ++written;
                const auto length = status >= 0 && status < 256 ? shortMessageLength(status) : 0;
                const bool fits = length > 0 && (length < 2 || (data1 >= 0 && data1 < 128)) &&
                                  (length < 3 || (data2 >= 0 && data2 < 128));
                ASSERT_EQ(backend.sent().size(), before + (fits ? 1 : 0))
                    << status << ' ' << data1 << ' ' << data2;
                if (fits) {
                    ++sent;
                    const WireMessage& wire = backend.sent().back();
                    ASSERT_TRUE(wellFormed(wire)) << status << ' ' << data1 << ' ' << data2;
                    ASSERT_EQ(wire.bytes[0], status);
                    if (length > 1) {
                        ASSERT_EQ(wire.bytes[1], data1);
                    }
                    if (length > 2) {
                        ASSERT_EQ(wire.bytes[2], data2);
                    }
                }
            }
        }
        backend.log().clear();
    }
    EXPECT_EQ(unsent, written - sent);
    output.setPortCommand(PORT_CLOSE);
    for (const auto& wire : backend.sent()) {
        ASSERT_TRUE(wellFormed(wire));
    }
    std::printf("[ FIGURES  ] %zu triples written, %zu sent, %zu refused with code 8\n", written,
                sent, unsent);
}

// Values no port accepts, over the whole 16-bit range: each one raises
// "Invalid property value" and leaves the port as it was.
TEST(HostileInput, EverySixteenBitValueAPortRefusesRaisesInvalidPropertyValue) {
    InMemoryBackend backend;
    MidiInputPort input(backend);
    MidiOutputPort output(backend);
    const std::set<int> inputCommands = {PORT_OPEN, PORT_CLOSE, PORT_START, PORT_STOP, MSG_DROP};
    const std::set<int> outputCommands = {PORT_OPEN, PORT_CLOSE, PORT_START, PORT_STOP, MSG_SEND};
    std::size_t refused = 0;
    const auto expectRefused = [&](auto write, int value) {
        try {
            write();
            ADD_FAILURE() << value << " was accepted";
        } catch (const ProgramError& error) {
            ++refused;
            ASSERT_STREQ(error.description(), kInvalidPropertyValueDescription);
        }
    };
    for (int value = -32768; value <= 32767; ++value) {
        const auto v = static_cast<std::int16_t>(value);
        if (!inputCommands.contains(value)) {
            expectRefused([&] { input.setPortCommand(v); }, value);
        }
        if (!outputCommands.contains(value)) {
            expectRefused([&] { output.setPortCommand(v); }, value);
        }
        if (value < 0) {
            expectRefused([&] { input.setDeviceIndex(v); }, value);
        }
        if (value < -1) {
            expectRefused([&] { output.setDeviceIndex(v); }, value);
        }
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    EXPECT_EQ(input.portState(), 0);
    EXPECT_EQ(output.portState(), 0);
    EXPECT_EQ(input.deviceIndex(), 0);
    EXPECT_EQ(output.deviceIndex(), -1);
    std::printf("[ FIGURES  ] %zu refused writes, each Invalid property value\n", refused);
}

}  // namespace
}  // namespace keyflip
