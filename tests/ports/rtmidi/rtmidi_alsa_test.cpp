// The RtMidi backend, which serves macOS and Windows, run here on RtMidi's
// ALSA API: RtMidi reports failures to a callback and returns as if the call
// had worked, so the backend must ask what was reported. A port another
// client holds exclusively refuses a connection the way a busy device does.
#include "rtmidi/rtmidi_backend.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace keyflip {
namespace {

// A peer client with a source and a destination port, each already
// connected exclusively to a port of its own, so no one else can connect.
class ExclusivelyHeldPeer {
public:
    ExclusivelyHeldPeer() {
        snd_seq_t* raw = nullptr;
        if (snd_seq_open(&raw, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) != 0) {
            return;
        }
        sequencer_.reset(raw);
        const unsigned kType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
        const int source = snd_seq_create_simple_port(
            raw, "held-out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kType);
        const int destination = snd_seq_create_simple_port(
            raw, "held-in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kType);
        ok_ = snd_seq_set_client_name(raw, "held-peer") == 0 && source >= 0 && destination >= 0 &&
              holdExclusively(source, destination);
    }
    bool ok() const { return ok_; }

private:
    bool holdExclusively(int source, int destination) {
        snd_seq_port_subscribe_t* subscription = nullptr;
        snd_seq_port_subscribe_alloca(&subscription);
        const auto client = static_cast<unsigned char>(snd_seq_client_id(sequencer_.get()));
        const snd_seq_addr_t from{client, static_cast<unsigned char>(source)};
        const snd_seq_addr_t to{client, static_cast<unsigned char>(destination)};
        snd_seq_port_subscribe_set_sender(subscription, &from);
        snd_seq_port_subscribe_set_dest(subscription, &to);
        snd_seq_port_subscribe_set_exclusive(subscription, 1);
        return snd_seq_subscribe_port(sequencer_.get(), subscription) == 0;
    }

    std::unique_ptr<snd_seq_t, decltype(&snd_seq_close)> sequencer_{nullptr, &snd_seq_close};
    bool ok_ = false;
};

class RtMidiAlsaTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = createRtMidiBackend();
        if (!backend_) {
            ASSERT_EQ(std::getenv("KEYFLIP_REQUIRE_ALSA"), nullptr)
                << "RtMidi could not open the ALSA sequencer";
            GTEST_SKIP() << "no ALSA sequencer (run inside tests/alsa-vm/run-in-vm)";
        }
        ASSERT_TRUE(peer_.ok());
    }

    // RtMidi names a port "client:port" and its address.
    static std::string listed(const std::vector<std::string>& names, const std::string& start) {
        const auto found = std::ranges::find_if(
            names, [&](const std::string& name) { return name.starts_with(start); });
        return found != names.end() ? *found : std::string();
    }

    ExclusivelyHeldPeer peer_;
    std::unique_ptr<MidiBackend> backend_;
};

TEST_F(RtMidiAlsaTest, ADeviceThatRefusesTheConnectionIsReportedNotOpened) {
    const std::string destination = listed(backend_->destinationNames(), "held-peer:held-in");
    const std::string source = listed(backend_->sourceNames(), "held-peer:held-out");
    ASSERT_FALSE(destination.empty() || source.empty()) << "RtMidi does not list the peer";

    const auto output = backend_->openOutput(destination);
    ASSERT_TRUE(output.has_value()) << "reported as opened";
    EXPECT_EQ(output->code, PortErrorCode::DeviceOpenFailed);
    EXPECT_TRUE(output->text.startsWith(
        QStringLiteral("The MIDI output device \"%1\" could not be opened: ")
            .arg(QString::fromStdString(destination))))
        << output->text.toStdString();
    EXPECT_FALSE(backend_->send(WireMessage{{0x90, 60, 100}, 3})) << "sent on a port never opened";

    const auto input = backend_->openInput(source);
    ASSERT_TRUE(input.has_value()) << "reported as opened";
    EXPECT_EQ(input->code, PortErrorCode::DeviceOpenFailed);
}

TEST_F(RtMidiAlsaTest, TheOwnPortsOpenAndSendWithoutAFault) {
    EXPECT_EQ(backend_->openOutput(""), std::nullopt);
    EXPECT_EQ(backend_->openInput(""), std::nullopt);
    EXPECT_TRUE(backend_->send(WireMessage{{0x90, 60, 100}, 3}));
}

}  // namespace
}  // namespace keyflip
