// The program as ALSA's own tools see it: one client "Keyflip" whose ports
// aconnect reaches by the client's name, as the README tells users to.
#include "alsa/alsa_backend.h"
#include "incoming_queue.h"
#include "message_checks.h"
#include "sequencer_programs.h"
#include "short_message_printing.h"
#include "virmidi_device.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using alsatest::distinctMessages;
using alsatest::EventSender;
using alsatest::PeerProgram;
using alsatest::readUntilLastArrives;
using alsatest::run;
using alsatest::runFor;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

double cpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
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
    // The program's loop runs on meanwhile and hears of the connection.
    runFor(100ms, {});

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

// A program may send a 14-bit controller or a parameter number as one
// sequencer event (a sequencer's 14-bit modulation wheel, a pitch bend
// range): each Control Change it stands for arrives, in order.
TEST_F(AlsaClientTest, CombinedControllerEventsArriveAsEachOfTheirControlChanges) {
    struct Case {
        snd_seq_event_type_t type;
        unsigned param;
        int value;
        std::vector<ShortMessage> expected;
    };
    const std::vector<Case> cases{
        {SND_SEQ_EVENT_CONTROL14, 1, 1000, {{0xB0, 1, 7}, {0xB0, 33, 104}}},
        {SND_SEQ_EVENT_CONTROL14, 40, 100, {{0xB0, 40, 100}}},
        {SND_SEQ_EVENT_REGPARAM,
         0,
         12 << 7,
         {{0xB0, 101, 0}, {0xB0, 100, 0}, {0xB0, 6, 12}, {0xB0, 38, 0}}},
        {SND_SEQ_EVENT_NONREGPARAM,
         (3 << 7) | 5,
         (2 << 7) | 44,
         {{0xB0, 99, 3}, {0xB0, 98, 5}, {0xB0, 6, 2}, {0xB0, 38, 44}}},
        {SND_SEQ_EVENT_CONTROLLER, 7, 90, {{0xB0, 7, 90}}},
    };
    EventSender sender("combined-sender");
    ASSERT_TRUE(sender.ok());
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    IncomingQueue queue;
    backend->setInputQueue(&queue);
    ASSERT_EQ(backend->openInput("combined-sender:out"), std::nullopt);

    std::vector<ShortMessage> expected;
    for (const Case& sent : cases) {
        ASSERT_TRUE(sender.sendController(sent.type, sent.param, sent.value));
        expected.insert(expected.end(), sent.expected.begin(), sent.expected.end());
    }
    // The last case is a single controller, so once it is in everything is.
    std::vector<ShortMessage> received;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while ((received.empty() || received.back() != expected.back()) &&
           std::chrono::steady_clock::now() < deadline) {
        while (queue.size() > 0) {
            received.push_back(queue.front());
            queue.pop();
        }
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(received, expected);
    backend->closeInput();
    backend->setInputQueue(nullptr);
}

// Two devices of one model have one name in the sequencer (two identical USB
// keyboards). Each list entry opens its own device, and when the one opened
// leaves, the other is never taken for it.
TEST_F(AlsaClientTest, TwoDevicesOfOneNameAreNeverTakenForEachOther) {
    auto first = std::make_unique<EventSender>("twin");
    ASSERT_TRUE(first->ok());
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    IncomingQueue queue;
    backend->setInputQueue(&queue);
    std::vector<std::string> departed;
    QObject::connect(backend.get(), &MidiBackend::peerLeft,
                     [&](PortSide, const std::string& name) { departed.push_back(name); });
    const auto twinNames = [&] {
        std::vector<std::string> twins;
        std::ranges::copy_if(backend->sourceNames(), std::back_inserter(twins),
                             [](const std::string& name) { return name.starts_with("twin:"); });
        return twins;
    };

    // Opened as the only one of its name, it leaves after a twin came.
    ASSERT_EQ(backend->openInput("twin:out"), std::nullopt);
    EventSender second("twin");
    ASSERT_TRUE(second.ok());
    first.reset();
    runFor(200ms, {});
    ASSERT_EQ(departed.size(), 1u);
    const std::vector<std::string> listed = backend->sourceNames();
    EXPECT_EQ(std::ranges::count(listed, departed[0]), 0)
        << "the twin still here is listed as \"" << departed[0] << "\", the device awaited";
    backend->closeInput();

    first = std::make_unique<EventSender>("twin");
    ASSERT_TRUE(first->ok());
    const std::vector<std::string> twins = twinNames();
    ASSERT_EQ(twins.size(), 2u);
    ASSERT_NE(twins[0], twins[1]);
    std::vector<ShortMessage> heard;
    for (const std::string& twin : twins) {
        SCOPED_TRACE(twin);
        ASSERT_EQ(backend->openInput(twin), std::nullopt);
        const auto value = static_cast<int>(heard.size());
        ASSERT_TRUE(first->sendController(SND_SEQ_EVENT_CONTROLLER, 1, value));
        ASSERT_TRUE(second.sendController(SND_SEQ_EVENT_CONTROLLER, 2, value));
        runFor(200ms, {});
        ASSERT_EQ(queue.size(), 1u) << "both twins are heard";
        heard.push_back(queue.front());
        queue.pop();
    }
    EXPECT_NE(heard[0].data1, heard[1].data1) << "both entries opened the same device";
    backend->closeInput();
    backend->setInputQueue(nullptr);
}

// A twin's entry carries its address. Once the other twin has gone the lists
// show the name alone, yet the entry still stands for that device: chosen
// from a list read before, or awaited and back alone at its address. A
// program of another name given that address is not taken for it.
TEST_F(AlsaClientTest, ATwinsEntryStillOpensItOnceItIsAlone) {
    auto first = std::make_unique<EventSender>("twin");
    auto second = std::make_unique<EventSender>("twin");
    ASSERT_TRUE(first->ok() && second->ok());
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    IncomingQueue queue;
    backend->setInputQueue(&queue);
    const std::string entry = first->entryWithAddress("twin:out");
    ASSERT_EQ(std::ranges::count(backend->sourceNames(), entry), 1);

    second.reset();
    runFor(200ms, {});
    ASSERT_EQ(std::ranges::count(backend->sourceNames(), "twin:out"), 1);
    EXPECT_TRUE(backend->isListed(PortSide::Input, entry));
    ASSERT_EQ(backend->openInput(entry), std::nullopt);
    ASSERT_TRUE(first->sendController(SND_SEQ_EVENT_CONTROLLER, 1, 2));
    runFor(200ms, {});
    EXPECT_EQ(queue.size(), 1u) << "the entry opened nothing that sends";
    backend->closeInput();

    first.reset();
    const EventSender other("other");
    ASSERT_TRUE(other.ok());
    EXPECT_FALSE(backend->isListed(PortSide::Input, entry));
    EXPECT_NE(backend->openInput(entry), std::nullopt);
    backend->setInputQueue(nullptr);
}

// A synthesizer program that stops reading for a while (busy, or stopped in
// a debugger): once its input is full the sequencer has no room for more.
// What Keyflip sends meanwhile waits in Keyflip and follows in order when
// the program reads again; nothing is reported lost, and the wait does not
// keep a CPU busy.
TEST_F(AlsaClientTest, OutputWaitsInOrderWhileADestinationReadsNothing) {
    PeerProgram synth("stalled-synth", 200);
    ASSERT_TRUE(synth.ok());
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    std::uint64_t reportedLost = 0;
    QObject::connect(backend.get(), &MidiBackend::outgoingLost,
                     [&](quint64 count) { reportedLost += count; });
    ASSERT_EQ(backend->openOutput("stalled-synth:in"), std::nullopt);

    const std::vector<WireMessage> sent = distinctMessages();
    for (std::size_t index = 0; index < sent.size(); ++index) {
        ASSERT_TRUE(backend->send(sent[index])) << index;
    }
    const double before = cpuMs();
    runFor(1s, {});
    std::printf("stalled destination: %.0f ms of CPU in 1 s of waiting\n", cpuMs() - before);

    readUntilLastArrives({&synth}, sent.back());
    std::printf("stalled destination: %zu received, %d overflow(s), %llu reported lost\n",
                synth.received.size(), synth.overflows,
                static_cast<unsigned long long>(reportedLost));
    ASSERT_FALSE(synth.received.empty());
    EXPECT_EQ(synth.received.back(), sent.back()) << "the last message never arrived";
    EXPECT_EQ(reportedLost, 0u);
    // What the program read is what was sent, in order; only what its own
    // full input held when it overflowed is missing.
    EXPECT_FALSE(checks::departureFromOrder(sent, synth.received).has_value())
        << *checks::departureFromOrder(sent, synth.received);
    backend->closeOutput();
}

// A program connected to "out" from outside (a monitor) quits while Keyflip
// sends to it: what was meant for it can reach no one, and that is no loss
// to report, whether or not Keyflip has heard of its leaving yet. Once it has,
// the next program given the monitor's address hears nothing of Keyflip's.
TEST_F(AlsaClientTest, AConnectionWhoseProgramQuitsIsNoLossAndLeavesNoTrace) {
    auto monitor = std::make_unique<PeerProgram>("quitting-monitor", 2000);
    ASSERT_TRUE(monitor->ok());
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    std::uint64_t reportedLost = 0;
    QObject::connect(backend.get(), &MidiBackend::outgoingLost,
                     [&](quint64 count) { reportedLost += count; });
    // "Keyflip out": its connections are made from outside.
    ASSERT_EQ(backend->openOutput(""), std::nullopt);
    const auto patch = run("aconnect Keyflip:1 quitting-monitor:0");
    ASSERT_TRUE(patch.succeeded) << patch.output;
    runFor(100ms, {});

    monitor.reset();
    std::size_t refused = 0;
    for (const WireMessage& message : distinctMessages()) {
        refused += backend->send(message) ? 0 : 1;
    }
    runFor(100ms, {});
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(reportedLost, 0u);

    monitor = std::make_unique<PeerProgram>("quitting-monitor", 2000);
    ASSERT_TRUE(monitor->ok());
    const int address = monitor->client();
    ASSERT_TRUE(run("aconnect Keyflip:1 quitting-monitor:0").succeeded);
    runFor(100ms, {});
    monitor.reset();
    runFor(100ms, {});
    PeerProgram next("next-program", 2000);
    ASSERT_TRUE(next.ok());
    ASSERT_EQ(next.client(), address) << "the sequencer gave another address";
    for (const WireMessage& message : distinctMessages()) {
        EXPECT_TRUE(backend->send(message));
    }
    runFor(100ms, {&next});
    EXPECT_EQ(next.received.size(), 0u);
    backend->closeOutput();
}

// "out" connected to the synthesizer chosen, which reads, and from outside
// (by a patchbay) to a monitor that stops reading, its input pool small.
class AlsaTwoConnectionsTest : public AlsaClientTest {
protected:
    void SetUp() override {
        AlsaClientTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_TRUE(synth.ok() && monitor.ok());
        backend = createAlsaBackend();
        ASSERT_NE(backend, nullptr);
        ASSERT_EQ(backend->openOutput("reading-synth:in"), std::nullopt);
        const auto patch = run("aconnect Keyflip:1 stalled-monitor:0");
        ASSERT_TRUE(patch.succeeded) << patch.output;
        runFor(100ms, {});
    }
    void TearDown() override {
        if (backend) {
            backend->closeOutput();
        }
    }

    PeerProgram synth{"reading-synth", 2000};
    PeerProgram monitor{"stalled-monitor", 200};
    std::unique_ptr<MidiBackend> backend;
};

// A second program connected to "out" from outside (a monitor, by a
// patchbay) stops reading. The synthesizer chosen in MIDI Setup still hears
// every message at once, and each once: resending what the monitor had no
// room for must not reach the synthesizer again. The monitor's share waits
// in Keyflip and follows in order when it reads again.
TEST_F(AlsaTwoConnectionsTest, AStalledSecondConnectionNeitherRepeatsNorHoldsUpTheChosenOne) {
    const std::vector<WireMessage> sent = distinctMessages();
    for (std::size_t index = 0; index < sent.size(); ++index) {
        ASSERT_TRUE(backend->send(sent[index])) << index;
    }
    runFor(500ms, {&synth});
    EXPECT_EQ(synth.received, sent)
        << synth.received.size() << " received, the first "
        << checks::departureFromOrder(sent, synth.received).value_or("in order");

    readUntilLastArrives({&monitor}, sent.back());
    ASSERT_FALSE(monitor.received.empty());
    EXPECT_EQ(monitor.received.back(), sent.back()) << "the monitor's last message never arrived";
    EXPECT_FALSE(checks::departureFromOrder(sent, monitor.received).has_value())
        << *checks::departureFromOrder(sent, monitor.received);
    synth.readAll();
    EXPECT_EQ(synth.received.size(), sent.size()) << "the synthesizer heard more since";
}

// Closing while the monitor above still waits for Note Ons the synthesizer
// has had: those notes sound in the synthesizer, so they must stay counted
// (their Note Offs go out as the output closes). What the monitor missed of
// the Note Offs counts as never sent, so they are owed again.
TEST_F(AlsaTwoConnectionsTest, WhatOnlyAStalledConnectionMissedStillCountsAsSounding) {
    std::vector<WireMessage> noteOffs;
    for (int index = 0; index < 300; ++index) {
        const auto channel = static_cast<std::uint8_t>(index % 16);
        const auto pitch = static_cast<std::uint8_t>(20 + index / 16);
        ASSERT_TRUE(
            backend->send(WireMessage{{static_cast<std::uint8_t>(0x90 | channel), pitch, 100}, 3}));
        if (index < 50) {
            noteOffs.push_back(
                WireMessage{{static_cast<std::uint8_t>(0x80 | channel), pitch, 0}, 3});
        }
    }
    for (const WireMessage& noteOff : noteOffs) {
        ASSERT_TRUE(backend->send(noteOff));
    }
    EXPECT_EQ(backend->discardOutput(), noteOffs);
}

}  // namespace
}  // namespace keyflip
