// The program as ALSA's own tools see it: one client "Keyflip" whose ports
// aconnect reaches by the client's name, as the README tells users to.
#include "alsa_backend.h"
#include "incoming_queue.h"
#include "virmidi_device.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace keyflip {
namespace {

using namespace std::chrono_literals;

// What a shell command printed, and whether it succeeded.
struct CommandResult {
    std::string output;
    bool succeeded = false;
};

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        result.output += buffer.data();
    }
    result.succeeded = ::pclose(pipe) == 0;
    return result;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class AlsaClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        devices_ = alsatest::findVirmidiDevices();
        if (devices_.size() < 2 || !run("aconnect -l").succeeded) {
            ASSERT_EQ(std::getenv("KEYFLIP_REQUIRE_ALSA"), nullptr)
                << "the sequencer, two virtual raw MIDI devices and aconnect are required here";
            std::fprintf(stderr,
                         "\n*** no ALSA sequencer or aconnect: SKIPPED, not passed ***\n\n");
            GTEST_SKIP() << "no ALSA sequencer or aconnect (run inside tests/alsa-vm/run-in-vm)";
        }
    }
    std::vector<alsatest::VirmidiDevice> devices_;
};

TEST_F(AlsaClientTest, AconnectShowsOneClientWithAnInAndAnOutPort) {
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    ASSERT_EQ(backend->openInput(devices_[0].portName), std::nullopt);
    ASSERT_EQ(backend->openOutput(devices_[1].portName), std::nullopt);
    const std::string listing = run("aconnect -l").output;
    EXPECT_EQ(occurrences(listing, "'Keyflip'"), 1u) << listing;
    EXPECT_EQ(occurrences(listing, "'in "), 1u) << listing;
    EXPECT_EQ(occurrences(listing, "'out "), 1u) << listing;
    EXPECT_EQ(listing.find("announce"), std::string::npos) << "the private port shows:\n"
                                                           << listing;
}

TEST_F(AlsaClientTest, AconnectConnectsDevicesToTheOwnPortsByClientName) {
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    IncomingQueue queue;
    backend->setInputQueue(&queue);
    ASSERT_EQ(backend->openInput(""), std::nullopt);
    ASSERT_EQ(backend->openOutput(""), std::nullopt);
    const std::string keyboard = devices_[0].portName.substr(0, devices_[0].portName.find(':'));
    const std::string synth = devices_[1].portName.substr(0, devices_[1].portName.find(':'));

    auto connect = run("aconnect '" + keyboard + "' Keyflip");
    ASSERT_TRUE(connect.succeeded) << connect.output;
    connect = run("aconnect Keyflip:1 '" + synth + "'");
    ASSERT_TRUE(connect.succeeded) << connect.output;

    alsatest::RawMidi keyboardRaw(devices_[0].rawName);
    alsatest::RawMidi synthRaw(devices_[1].rawName);
    ASSERT_TRUE(keyboardRaw.ok() && synthRaw.ok());
    ASSERT_TRUE(keyboardRaw.write({0x90, 60, 100}));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (queue.size() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.front().status, 0x90);

    ASSERT_TRUE(backend->send(WireMessage{{0x80, 60, 0}, 3}));
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < 3 && std::chrono::steady_clock::now() < deadline + 5s) {
        synthRaw.readInto(bytes);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x80, 60, 0}));
    backend->closeInput();
    backend->setInputQueue(nullptr);
}

}  // namespace
}  // namespace keyflip
