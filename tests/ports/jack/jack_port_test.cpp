#include "jack_fixture.h"
#include "jack_testkit.h"

#include "jack/jack_backend.h"
#include "message_pump.h"
#include "midi_port.h"
#include "rewrite_settings.h"
#include "wire_format.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using jacktest::arrivedInOrder;
using jacktest::JackTest;
using jacktest::MidiReceiver;
using jacktest::MidiSender;
using jacktest::pumpUntil;

struct Settings : RewriteSettings {
    std::int16_t transpose = 2;
    std::int16_t transposeAmount() const override { return transpose; }
    bool reverseFlag() const override { return false; }
    std::int16_t wheelNote() const override { return 64; }
};

struct SilentDisplay : MessageDisplay {
    void setStatusText(std::string_view) override {}
    void setData1Text(std::string_view) override {}
    void setData2Text(std::string_view) override {}
};

WireMessage wire(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    return encodeShortMessage({status, data1, data2}).value();
}

std::string describe(const std::vector<WireMessage>& messages) {
    std::string text;
    for (const auto& message : messages) {
        text += '[' + jacktest::hexBytes(message) + "] ";
    }
    return text;
}

// The program's whole message path on JACK: a real sender into Keyflip's
// input port, the pump with its rules, Keyflip's output port into a real
// receiver, both ports driven through their members as the windows do.
class Chain {
public:
    Chain()
        : source_("keyboard"),
          destination_("synth", 4096),
          backend_(createJackBackend()),
          input_(std::make_unique<MidiInputPort>(*backend_)),
          output_(std::make_unique<MidiOutputPort>(*backend_)),
          pump_(*input_, *output_, settings, display_) {
        const auto record = [this](qint16& code, QString& text) {
            errors.push_back(QString::number(code) + QStringLiteral(": ") + text);
        };
        QObject::connect(input_.get(), &MidiInputPort::PortError, record);
        QObject::connect(output_.get(), &MidiOutputPort::PortError, record);
        QObject::connect(input_.get(), &MidiInputPort::Message, [this] { pump_.run(); });
    }

    ~Chain() {
        output_.reset();
        input_.reset();
    }

    bool ok() const { return source_.ok() && destination_.ok(); }

    // Picks the devices by name from the ports' own lists, opens and starts.
    ::testing::AssertionResult openAndStart() {
        if (!choose(*input_, input_->deviceCount(), source_.portName())) {
            return ::testing::AssertionFailure() << "the source is not in the input's list";
        }
        if (!choose(*output_, output_->deviceCount(), destination_.portName())) {
            return ::testing::AssertionFailure() << "the receiver is not in the output's list";
        }
        input_->setPortCommand(PORT_OPEN);
        output_->setPortCommand(PORT_OPEN);
        input_->setPortCommand(PORT_START);
        output_->setPortCommand(PORT_START);
        if (input_->portState() != 2 || output_->portState() != 2 || !errors.empty()) {
            return ::testing::AssertionFailure() << "the ports did not start: "
                                                 << errors.join(QStringLiteral("; ")).toStdString();
        }
        return ::testing::AssertionSuccess();
    }

    // Sends from the keyboard and waits until the synth has had total events.
    bool play(const std::vector<WireMessage>& messages, std::size_t total,
              std::size_t perPeriod = MidiSender::kAsFastAsThePortTakes) {
        source_.send(messages, perPeriod);
        return pumpUntil([&] { return destination_.count() >= total; }, 5000ms);
    }

    MidiReceiver& destination() { return destination_; }
    MidiOutputPort& output() { return *output_; }

    Settings settings;
    QStringList errors;

private:
    template <typename Port>
    static bool choose(Port& port, std::int16_t count, const std::string& name) {
        for (std::int16_t index = 0; index < count; ++index) {
            port.setDeviceIndex(index);
            if (port.deviceName() == QString::fromStdString(name)) {
                return true;
            }
        }
        return false;
    }

    MidiSender source_;
    MidiReceiver destination_;
    std::unique_ptr<MidiBackend> backend_;
    std::unique_ptr<MidiInputPort> input_;
    std::unique_ptr<MidiOutputPort> output_;
    SilentDisplay display_;
    MessagePump pump_;
};

TEST_F(JackTest, MessagesPassThroughTheProgramTransposedByteForByte) {
    runCase([&] {
        Chain chain;
        ASSERT_TRUE(chain.ok());
        ASSERT_TRUE(chain.openAndStart());

        std::vector<WireMessage> played;
        std::vector<WireMessage> expected;
        for (std::uint8_t index = 0; index < 120; ++index) {
            const auto channel = static_cast<std::uint8_t>(index % 16);
            const auto note = static_cast<std::uint8_t>(index + 3);
            played.push_back(wire(0x90 | channel, note, 100));
            expected.push_back(wire(0x90 | channel, note + 2, 100));
            played.push_back(wire(0xB0 | channel, 7, index));  // volume: untouched
            expected.push_back(played.back());
            played.push_back(wire(0xE0 | channel, index, 64));  // pitch bend: untouched
            expected.push_back(played.back());
            played.push_back(wire(0x80 | channel, note, 0));
            expected.push_back(wire(0x80 | channel, note + 2, 0));
        }
        played.push_back(wire(0xC0, 5, 0));  // program change: two bytes
        expected.push_back(wire(0xC0, 5, 0));
        played.push_back(wire(0xF8, 0, 0));  // clock: one byte
        expected.push_back(wire(0xF8, 0, 0));
        played.push_back(wire(0xB0, 1, 90));  // the wheel on channel 1 becomes a note
        expected.push_back(wire(0x90, 64, 90));

        EXPECT_TRUE(chain.play(played, expected.size(), 64))
            << chain.destination().count() << " of " << expected.size() << " arrived";
        pumpUntil([] { return false; }, 30ms);
        const auto received = chain.destination().messages();
        EXPECT_TRUE(arrivedInOrder(expected, received)) << describe(received);
        EXPECT_TRUE(chain.errors.isEmpty())
            << chain.errors.join(QStringLiteral("; ")).toStdString();
    });
}

TEST_F(JackTest, NoteOffGoesOutOnThePitchItsNoteOnSoundedAtAfterTheTransposeMoved) {
    runCase([&] {
        Chain chain;
        ASSERT_TRUE(chain.ok());
        ASSERT_TRUE(chain.openAndStart());

        ASSERT_TRUE(chain.play({wire(0x90, 60, 100)}, 1));
        chain.settings.transpose = 5;
        ASSERT_TRUE(chain.play({wire(0x80, 60, 0)}, 2));
        ASSERT_TRUE(chain.play({wire(0x90, 60, 100)}, 3));
        // A Note On with velocity 0 is a Note Off too.
        chain.settings.transpose = -1;
        ASSERT_TRUE(chain.play({wire(0x90, 60, 0)}, 4));

        // A key still held when the output closes gets its Note Off first.
        ASSERT_TRUE(chain.play({wire(0x91, 70, 80)}, 5));
        chain.output().setPortCommand(PORT_CLOSE);

        const std::vector<WireMessage> expected{wire(0x90, 62, 100), wire(0x80, 62, 0),
                                                wire(0x90, 65, 100), wire(0x90, 65, 0),
                                                wire(0x91, 69, 80),  wire(0x81, 69, 0)};
        const auto received = chain.destination().messages();
        EXPECT_TRUE(arrivedInOrder(expected, received)) << describe(received);
        EXPECT_TRUE(chain.errors.isEmpty())
            << chain.errors.join(QStringLiteral("; ")).toStdString();
    });
}

}  // namespace
}  // namespace keyflip
