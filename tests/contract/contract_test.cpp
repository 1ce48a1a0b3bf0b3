// What every MIDI system's backend must do, end to end, against other
// programs' ports on a real MIDI system. Each system's test program runs
// these cases on its own kit.
#include "contract_test.h"

#include "backend_probes.h"
#include "message_checks.h"

#include "app_test_support.h"
#include "incoming_queue.h"
#include "main_window.h"
#include "midi_port.h"
#include "setup_dialog.h"
#include "wire_format.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <sstream>
#include <thread>

namespace keyflip {

void PrintTo(const PortFault& fault, std::ostream* out) {
    *out << "PortFault{" << fault.code << ", \"" << fault.text.toStdString() << "\"}";
}

namespace contract {
namespace {

using namespace std::chrono_literals;
using checks::arrivedInOrder;
using checks::hexBytes;
using checks::LossRecorder;
using checks::mixedMessages;
using checks::pumpUntil;
using checks::QueueDrain;

// Lets anything still on its way arrive, to catch extra messages.
void settle() {
    pumpUntil([] { return false; }, 50ms);
}

std::vector<RawEvent> rawEvents(const std::vector<WireMessage>& messages) {
    std::vector<RawEvent> events;
    events.reserve(messages.size());
    for (const auto& message : messages) {
        const auto bytes = message.view();
        events.emplace_back(bytes.begin(), bytes.end());
    }
    return events;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// What arrives goes straight out, as the program's pump would pass it.
void passStraightOn(MidiInputPort& input, MidiOutputPort& output) {
    QObject::connect(&input, &MidiInputPort::Message, [&] {
        while (input.pendingCount() > 0) {
            output.setMsgStatus(input.msgStatus());
            output.setMsgData1(input.msgData1());
            output.setMsgData2(input.msgData2());
            output.setPortCommand(MSG_SEND);
            input.setPortCommand(MSG_DROP);
        }
    });
}

// Chooses the device of that name, as MIDI Setup does, looking from index
// first on.
template <typename Port>
bool select(Port& port, const std::string& name, std::int16_t first) {
    for (std::int16_t index = first; index < port.deviceCount(); ++index) {
        port.setDeviceIndex(index);
        if (port.deviceName() == QString::fromStdString(name)) {
            return true;
        }
    }
    return false;
}

// An input and an output port on one backend, what arrives passed straight
// on, the text of every box recorded.
struct PassingChain {
    explicit PassingChain(MidiBackend& backend) : input(backend), output(backend) {
        const auto record = [this](qint16&, QString& text) { errors.push_back(text); };
        QObject::connect(&input, &MidiInputPort::PortError, record);
        QObject::connect(&output, &MidiOutputPort::PortError, record);
        passStraightOn(input, output);
    }
    // Chooses both devices by name, then opens and starts both ports.
    bool openAndStart(const std::string& source, const std::string& destination) {
        if (!select(input, source, 0) || !select(output, destination, -1)) {
            return false;
        }
        input.setPortCommand(PORT_OPEN);
        output.setPortCommand(PORT_OPEN);
        input.setPortCommand(PORT_START);
        output.setPortCommand(PORT_START);
        return true;
    }

    MidiInputPort input;
    MidiOutputPort output;
    QStringList errors;
};

// The device's program quits on its own thread, as another program does,
// while the window's loop runs and hears of every step of its leaving.
template <typename Peer>
void leaveWhileTheLoopRuns(std::unique_ptr<Peer>& peer) {
    std::thread quitting([&peer] { peer.reset(); });
    pumpUntil([&] { return false; }, 200ms);
    quitting.join();
}

// Runs the loop until done holds; where the kit's library has the limit,
// also until nothing has moved for a second (progress: messages sent and
// received so far), since what it dropped never comes.
void waitForArrival(const MidiSystemKit& kit, Limit limit, const std::function<bool()>& done,
                    const std::function<std::size_t()>& progress,
                    std::chrono::milliseconds within = 10000ms) {
    if (!kit.limit(limit)) {
        pumpUntil(done, within);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        const std::size_t before = progress();
        if (!pumpUntil([&] { return done() || progress() != before; }, 1000ms)) {
            return;
        }
    }
}

// The boxes that say both devices went away and will be connected again.
QStringList wentAwayTexts(const std::string& source, const std::string& destination) {
    return {QStringLiteral("The MIDI input device \"%1\" went away. Keyflip will connect to it "
                           "again as soon as it is back.")
                .arg(QString::fromStdString(source)),
            QStringLiteral("The MIDI output device \"%1\" went away. Keyflip will connect to it "
                           "again as soon as it is back.")
                .arg(QString::fromStdString(destination))};
}

void skipForLimit(const MidiSystemKit& kit, const std::string& why, const std::string& what) {
    std::fprintf(stderr, "\n*** %s: this contract case is SKIPPED, not passed: %s; %s ***\n\n",
                 kit.name().c_str(), why.c_str(), what.c_str());
    GTEST_SKIP() << why << "; " << what;
}

// Everything sent arrived, in order and intact. Where the kit's library
// has the limit, what did arrive must still be in order and intact, and a
// shortfall skips the case with the reason.
void expectArrivedInOrder(const MidiSystemKit& kit, Limit limit,
                          const std::vector<WireMessage>& sent,
                          const std::vector<WireMessage>& received) {
    const auto why = kit.limit(limit);
    if (!why) {
        EXPECT_TRUE(arrivedInOrder(sent, received));
        return;
    }
    if (const auto departure = checks::departureFromOrder(sent, received)) {
        ADD_FAILURE() << checks::kNotExcusedByXruns << *departure;
    } else if (received.size() < sent.size()) {
        skipForLimit(kit, *why,
                     std::to_string(received.size()) + " of " + std::to_string(sent.size()) +
                         " arrived, in order");
    }
}

// The backend with an input queue drained as the input port would.
struct OpenInput {
    explicit OpenInput(MidiBackend& backend) : backend(backend), drain(queue) {
        backend.setInputQueue(&queue);
    }
    ~OpenInput() {
        backend.closeInput();
        backend.setInputQueue(nullptr);
    }
    MidiBackend& backend;
    IncomingQueue queue;
    QueueDrain drain;
};

}  // namespace

void MidiSystemContract::SetUp() {
    kit_ = GetParam().create();
    if (const auto reason = kit_->start()) {
        // Where the system was promised (the test VM), its absence is a failure.
        ASSERT_FALSE(kit_->required()) << kit_->name() << " is required here: " << *reason;
        std::fprintf(stderr, "\n*** %s: this contract case is SKIPPED, not passed: %s ***\n\n",
                     kit_->name().c_str(), reason->c_str());
        GTEST_SKIP() << *reason;
    }
    backend_ = kit_->createBackend();
    ASSERT_NE(backend_, nullptr) << "the " << kit_->name() << " backend did not open";
}

void MidiSystemContract::runCase(const std::function<void()>& body) {
    std::uint64_t before = 0;
    checks::runUntilClean(body, {[&](int run) {
                                     const bool open = run == 1 || reopenBackend();
                                     before = kit_->xruns();
                                     EXPECT_TRUE(open)
                                         << "the backend did not open for run " << run;
                                     return open;
                                 },
                                 [&] { return kit_->xruns() - before; }});
}

bool MidiSystemContract::reopenBackend() {
    backend_.reset();
    backend_ = kit_->createBackend();
    return backend_ != nullptr;
}

void MidiSystemContract::TearDown() {
    backend_.reset();
    kit_.reset();
}

// Both directions connect by name; the program's own ports never show, so it
// cannot be patched into a loop with itself.
TEST_P(MidiSystemContract, ListsOtherProgramsPortsButNeverItsOwn) {
    runCase([&] {
        const auto source = kit().createSource("contract-source");
        const auto destination = kit().createDestination("contract-destination", 16);
        const auto sources = backend().sourceNames();
        const auto destinations = backend().destinationNames();
        EXPECT_TRUE(contains(sources, source->portName())) << source->portName();
        EXPECT_TRUE(contains(destinations, destination->portName())) << destination->portName();
        EXPECT_FALSE(contains(sources, destination->portName()));
        EXPECT_FALSE(contains(destinations, source->portName()));
        for (const auto& names : {sources, destinations}) {
            for (const auto& name : names) {
                EXPECT_FALSE(name.starts_with("Keyflip:")) << name;
            }
        }
        EXPECT_EQ(backend().sourceNames(), sources) << "the order is not stable";
    });
}

TEST_P(MidiSystemContract, OpensByNameAndSaysWhyWhenItCannot) {
    runCase([&] {
        const auto source = kit().createSource("contract-source");
        const auto destination = kit().createDestination("contract-destination", 16);
        EXPECT_EQ(backend().openInput(source->portName()), std::nullopt);
        EXPECT_EQ(backend().openOutput(destination->portName()), std::nullopt);
        backend().closeInput();
        backend().closeOutput();

        auto fault = backend().openInput("gone:out");
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->code, 2);
        EXPECT_EQ(fault->text,
                  QStringLiteral("The MIDI input device \"gone:out\" is no longer there."));
        fault = backend().openOutput("gone:in");
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->code, 2);

        // The wrong direction cannot connect, and says which device.
        fault = backend().openInput(destination->portName());
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->code, 3);
        EXPECT_TRUE(fault->text.contains(QString::fromStdString(destination->portName())))
            << fault->text.toStdString();
        fault = backend().openOutput(source->portName());
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->code, 3);
        EXPECT_FALSE(backend().send(WireMessage{{0xF8, 0, 0}, 1})) << "sent while closed";
    });
}

TEST_P(MidiSystemContract, IncomingMessagesOfEveryStatusClassArriveByteForByte) {
    runCase([&] {
        const auto source = kit().createSource("contract-source");
        OpenInput input(backend());
        ASSERT_EQ(backend().openInput(source->portName()), std::nullopt);

        // System exclusive in between is not a short message and is left out,
        // without disturbing what follows it.
        const auto messages = mixedMessages(3000);
        std::vector<RawEvent> events;
        for (std::size_t index = 0; index < messages.size(); ++index) {
            if (index % 100 == 50) {
                events.push_back({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
            }
            const auto bytes = messages[index].view();
            events.emplace_back(bytes.begin(), bytes.end());
        }
        source->send(events, 200);
        waitForArrival(
            kit(), Limit::IncomingBurstsDroppedUnreported,
            [&] { return input.drain.messages.size() >= messages.size(); },
            [&] { return source->sentCount() + input.drain.messages.size(); });
        settle();
        expectArrivedInOrder(kit(), Limit::IncomingBurstsDroppedUnreported, messages,
                             input.drain.messages);
        EXPECT_EQ(input.drain.dropped, 0u);
    });
}

TEST_P(MidiSystemContract, SentMessagesOfEveryStatusClassArriveByteForByte) {
    runCase([&] {
        const auto destination = kit().createDestination("contract-destination", 4096);
        ASSERT_EQ(backend().openOutput(destination->portName()), std::nullopt);
        const auto messages = mixedMessages(3000);
        for (std::size_t index = 0; index < messages.size(); ++index) {
            ASSERT_TRUE(backend().send(messages[index]));
            // Paced, as a player would: what this case checks is the bytes.
            if (index % 200 == 199) {
                pumpUntil([] { return false; }, 2ms);
            }
        }
        backend().flushOutput(2000ms);
        pumpUntil([&] { return destination->count() >= messages.size(); });
        settle();
        EXPECT_TRUE(arrivedInOrder(messages, destination->messages()));
        EXPECT_EQ(destination->lost(), 0u);
    });
}

TEST_P(MidiSystemContract, PacedBurstOf10000ArrivesCompleteAndInOrder) {
    runCase([&] {
        const auto source = kit().createSource("burst-source");
        OpenInput input(backend());
        ASSERT_EQ(backend().openInput(source->portName()), std::nullopt);
        constexpr std::size_t kCount = 10000;
        const auto messages = mixedMessages(kCount);
        const auto start = std::chrono::steady_clock::now();
        source->send(rawEvents(messages), 1000);
        waitForArrival(
            kit(), Limit::IncomingBurstsDroppedUnreported,
            [&] { return input.drain.messages.size() >= kCount; },
            [&] { return source->sentCount() + input.drain.messages.size(); }, 30000ms);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        settle();
        std::printf("%s burst10k in: sent=%zu received=%zu seconds=%.3f dropped=%llu spoiled=%d\n",
                    kit().name().c_str(), source->sentCount(), input.drain.messages.size(), seconds,
                    static_cast<unsigned long long>(input.drain.dropped), kit().xruns() > 0);
        if (!kit().limit(Limit::IncomingBurstsDroppedUnreported)) {
            EXPECT_EQ(source->sentCount(), kCount);
        }
        expectArrivedInOrder(kit(), Limit::IncomingBurstsDroppedUnreported, messages,
                             input.drain.messages);
        EXPECT_EQ(input.drain.dropped, 0u);
    });
}

TEST_P(MidiSystemContract, UnpacedBurstOf100000SentArrivesCompleteAndInOrder) {
    runCase([&] {
        constexpr std::size_t kCount = 100000;
        const auto destination = kit().createDestination("burst-destination", kCount + 1000);
        ASSERT_EQ(backend().openOutput(destination->portName()), std::nullopt);
        const auto messages = mixedMessages(kCount);
        const auto start = std::chrono::steady_clock::now();
        std::size_t accepted = 0;
        for (const auto& message : messages) {
            accepted += backend().send(message) ? 1 : 0;
        }
        backend().flushOutput(20000ms);
        waitForArrival(
            kit(), Limit::OutgoingBurstsDroppedUnreported,
            [&] { return destination->count() >= kCount; }, [&] { return destination->count(); },
            60000ms);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        settle();
        std::printf("%s burst100k out: accepted=%zu received=%zu seconds=%.3f lost=%llu\n",
                    kit().name().c_str(), accepted, destination->count(), seconds,
                    static_cast<unsigned long long>(destination->lost()));
        EXPECT_EQ(accepted, kCount);
        EXPECT_EQ(destination->lost(), 0u);
        expectArrivedInOrder(kit(), Limit::OutgoingBurstsDroppedUnreported, messages,
                             destination->messages());
    });
}

// Another program sending as fast as it can: everything arrives in order, or
// what the system dropped on the way in is counted and reported, never lost
// silently.
TEST_P(MidiSystemContract, UnpacedBurstOf100000ReceivedArrivesInOrderOrItsLossIsReported) {
    runCase([&] {
        const auto source = kit().createSource("burst-source");
        OpenInput input(backend());
        ASSERT_EQ(backend().openInput(source->portName()), std::nullopt);
        constexpr std::size_t kCount = 100000;
        const auto messages = mixedMessages(kCount);
        const auto start = std::chrono::steady_clock::now();
        source->send(rawEvents(messages), 0);
        waitForArrival(
            kit(), Limit::IncomingBurstsDroppedUnreported,
            [&] {
                return input.drain.messages.size() + input.drain.dropped >= kCount ||
                       (source->sentCount() == kCount && input.drain.dropped > 0);
            },
            [&] { return source->sentCount() + input.drain.messages.size(); }, 60000ms);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        settle();
        const auto& received = input.drain.messages;
        std::printf("%s burst100k in: sent=%zu received=%zu seconds=%.3f reported_lost=%llu\n",
                    kit().name().c_str(), source->sentCount(), received.size(), seconds,
                    static_cast<unsigned long long>(input.drain.dropped));
        const auto limit = kit().limit(Limit::IncomingBurstsDroppedUnreported);
        if (!limit) {
            EXPECT_EQ(source->sentCount(), kCount);
        }
        // In order, nothing doubled or changed: each one found further on in what was sent.
        std::size_t next = 0;
        for (const auto& message : received) {
            while (next < kCount && !(messages[next] == message)) {
                ++next;
            }
            ASSERT_LT(next, kCount)
                << checks::kNotExcusedByXruns << "a message arrived out of order or changed: ["
                << hexBytes(message) << "]";
            ++next;
        }
        if (received.size() < kCount && limit && input.drain.dropped == 0) {
            skipForLimit(kit(), *limit,
                         std::to_string(received.size()) + " of " +
                             std::to_string(source->sentCount()) + " sent arrived, in order");
        } else if (received.size() < kCount) {
            EXPECT_GT(input.drain.dropped, 0u) << kCount - received.size() << " lost unreported";
        }
    });
}

// Quitting, or choosing another MIDI system, while a device still floods the
// input: the backend closes (its threads stop even with input pending) and
// the system takes a new client at once.
TEST_P(MidiSystemContract, ClosesWhileAnotherProgramFloodsItsInput) {
    runCase([&] {
        const auto limit = kit().limit(Limit::IncomingBurstsDroppedUnreported);
        const auto source = kit().createSource("flood-source");
        std::size_t flood = 0;
        {
            OpenInput input(backend());
            ASSERT_EQ(backend().openInput(source->portName()), std::nullopt);
            source->send(rawEvents(mixedMessages(100000)), 0);
            // No events are processed meanwhile, so every queue on the way
            // fills. Where the system refuses the sender once the backend's
            // input is full, the flood is as large as the system lets it be.
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            auto lastMove = std::chrono::steady_clock::now();
            while (source->sentCount() < 20000 && std::chrono::steady_clock::now() < deadline &&
                   !(limit && std::chrono::steady_clock::now() - lastMove > 1s)) {
                const std::size_t before = source->sentCount();
                std::this_thread::sleep_for(1ms);
                if (source->sentCount() != before) {
                    lastMove = std::chrono::steady_clock::now();
                }
            }
            flood = source->sentCount();
            if (!limit) {
                ASSERT_GE(flood, 20000u) << "the flood did not start";
            }
        }
        ASSERT_TRUE(reopenBackend()) << "no backend opened after closing under a flood";
        const auto next = kit().createSource("after-flood-source");
        OpenInput input(backend());
        ASSERT_EQ(backend().openInput(next->portName()), std::nullopt);
        const auto messages = mixedMessages(16);
        next->send(rawEvents(messages), 0);
        pumpUntil([&] { return input.drain.messages.size() >= messages.size(); });
        EXPECT_TRUE(arrivedInOrder(messages, input.drain.messages));
        if (limit && flood < 20000) {
            skipForLimit(kit(), *limit,
                         "the flood stopped at " + std::to_string(flood) +
                             " events; closing under it and opening anew worked");
        }
    });
}

// The program's own ports alone, connected from outside by a patchbay.
TEST_P(MidiSystemContract, OwnPortsConnectedFromOutsideCarryMessagesBothWays) {
    runCase([&] {
        const auto source = kit().createSource("patched-source");
        const auto destination = kit().createDestination("patched-destination", 1024);
        OpenInput input(backend());
        ASSERT_EQ(backend().openInput(""), std::nullopt);
        ASSERT_EQ(backend().openOutput(""), std::nullopt);
        ASSERT_TRUE(kit().patch(source->portName(), "Keyflip:in"));
        ASSERT_TRUE(kit().patch("Keyflip:out", destination->portName()));
        // A connection made outside takes effect on the system's own time.
        const auto probe = mixedMessages(1);
        ASSERT_TRUE(pumpUntil(
            [&] {
                backend().send(probe[0]);
                pumpUntil([&] { return destination->count() > 0; }, 20ms);
                return destination->count() > 0;
            },
            5000ms));
        pumpUntil([] { return false; }, 100ms);
        const std::size_t probes = destination->count();

        const auto messages = mixedMessages(200);
        source->send(rawEvents(messages), 50);
        pumpUntil([&] { return input.drain.messages.size() >= messages.size(); });
        for (const auto& message : input.drain.messages) {
            ASSERT_TRUE(backend().send(message));
        }
        pumpUntil([&] { return destination->count() >= probes + messages.size(); });
        settle();
        EXPECT_TRUE(arrivedInOrder(messages, input.drain.messages));
        const auto heard = destination->messages();
        EXPECT_TRUE(arrivedInOrder(
            messages, {heard.begin() + static_cast<std::ptrdiff_t>(probes), heard.end()}));
        backend().closeOutput();
    });
}

// The source leaves as an unplugged keyboard would: one loss, named, and once
// it is back under the same name it can be opened again and plays.
TEST_P(MidiSystemContract, SourceThatGoesAwayIsReportedOnceAndCanBeOpenedWhenBack) {
    runCase([&] {
        LossRecorder recorder(backend());
        auto source = kit().createSource("leaving-source");
        const std::string name = source->portName();
        OpenInput input(backend());
        ASSERT_EQ(backend().openInput(name), std::nullopt);

        leaveWhileTheLoopRuns(source);
        EXPECT_TRUE(pumpUntil([&] { return !recorder.departures.empty(); }, 5000ms));
        settle();
        ASSERT_EQ(recorder.departures.size(), 1u);
        EXPECT_EQ(recorder.departures[0].side, PortSide::Input);
        EXPECT_EQ(recorder.departures[0].name, QString::fromStdString(name));
        EXPECT_TRUE(recorder.losses.empty());
        EXPECT_FALSE(contains(backend().sourceNames(), name));

        source = kit().createSource("leaving-source");
        ASSERT_TRUE(pumpUntil([&] { return contains(backend().sourceNames(), name); }, 5000ms));
        backend().closeInput();
        ASSERT_EQ(backend().openInput(name), std::nullopt);
        const auto messages = mixedMessages(50);
        source->send(rawEvents(messages), 0);
        pumpUntil([&] { return input.drain.messages.size() >= messages.size(); });
        settle();
        EXPECT_TRUE(arrivedInOrder(messages, input.drain.messages));
        EXPECT_EQ(recorder.departures.size(), 1u);
    });
}

TEST_P(MidiSystemContract, DestinationThatGoesAwayIsReportedOnceAndCanBeOpenedWhenBack) {
    runCase([&] {
        LossRecorder recorder(backend());
        auto destination = kit().createDestination("leaving-destination", 64);
        const std::string name = destination->portName();
        ASSERT_EQ(backend().openOutput(name), std::nullopt);

        leaveWhileTheLoopRuns(destination);
        EXPECT_TRUE(pumpUntil([&] { return !recorder.departures.empty(); }, 5000ms));
        settle();
        ASSERT_EQ(recorder.departures.size(), 1u);
        EXPECT_EQ(recorder.departures[0].side, PortSide::Output);
        EXPECT_EQ(recorder.departures[0].name, QString::fromStdString(name));
        EXPECT_TRUE(recorder.losses.empty());

        destination = kit().createDestination("leaving-destination", 64);
        ASSERT_TRUE(
            pumpUntil([&] { return contains(backend().destinationNames(), name); }, 5000ms));
        backend().closeOutput();
        ASSERT_EQ(backend().openOutput(name), std::nullopt);
        const auto messages = mixedMessages(50);
        for (const auto& message : messages) {
            ASSERT_TRUE(backend().send(message));
        }
        backend().flushOutput(2000ms);
        pumpUntil([&] { return destination->count() >= messages.size(); });
        settle();
        EXPECT_TRUE(arrivedInOrder(messages, destination->messages()));
        EXPECT_EQ(recorder.departures.size(), 1u);
    });
}

// The keyboard and the synthesizer both switched off and on again, at once
// and after a while: the ports connect again by themselves each time and
// the chain plays on, in order, nothing doubled, with one report per
// leaving. A device of another name meanwhile is never taken.
TEST_P(MidiSystemContract, PortsConnectAgainToDevicesBackUnderTheirNames) {
    runCase([&] {
        PassingChain chain(backend());
        auto& input = chain.input;
        auto& output = chain.output;
        auto& errors = chain.errors;
        auto source = kit().createSource("rejoin-source");
        auto destination = kit().createDestination("rejoin-destination", 1024);
        const std::string sourceName = source->portName();
        const std::string destinationName = destination->portName();
        ASSERT_TRUE(chain.openAndStart(sourceName, destinationName));
        ASSERT_TRUE(errors.empty()) << errors.join(' ').toStdString();

        // No note: notes sounding when the synthesizer left would rightly be
        // released on it when it is back.
        const auto controllers = [](int round) {
            std::vector<WireMessage> messages;
            for (std::uint8_t index = 0; index < 40; ++index) {
                messages.push_back(WireMessage{{static_cast<std::uint8_t>(0xB0 | (index % 16)),
                                                static_cast<std::uint8_t>(round), index},
                                               3});
            }
            return messages;
        };
        const QStringList leftTexts = wentAwayTexts(sourceName, destinationName);
        for (int round = 1; round <= 3; ++round) {
            SCOPED_TRACE(round);
            source.reset();
            destination.reset();
            ASSERT_TRUE(pumpUntil([&] { return errors.size() == 2 * round; }, 5000ms))
                << errors.join('\n').toStdString();
            if (round == 2) {
                // Out for a while, and another keyboard plugged in meanwhile.
                const auto other = kit().createSource("rejoin-source-2");
                pumpUntil([] { return false; }, 1500ms);
                EXPECT_TRUE(contains(backend().sourceNames(), other->portName()));
                EXPECT_EQ(input.portState(), PORT_STATE_CLOSED) << "took " << other->portName();
            }
            const auto back = std::chrono::steady_clock::now();
            source = kit().createSource("rejoin-source");
            destination = kit().createDestination("rejoin-destination", 1024);
            ASSERT_EQ(source->portName(), sourceName);
            ASSERT_TRUE(pumpUntil([&] {
                return input.portState() == PORT_STATE_STARTED &&
                       output.portState() == PORT_STATE_STARTED;
            }));
            std::printf(
                "%s round %d: connected again %.1f ms after the devices were back\n",
                kit().name().c_str(), round,
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - back)
                    .count());
            const auto messages = controllers(round);
            source->send(rawEvents(messages), 0);
            pumpUntil([&] { return destination->count() >= messages.size(); });
            settle();
            EXPECT_TRUE(arrivedInOrder(messages, destination->messages()));
        }
        QStringList expected;
        for (int round = 1; round <= 3; ++round) {
            expected += leftTexts;
        }
        std::ranges::sort(errors);
        std::ranges::sort(expected);
        EXPECT_EQ(errors, expected);
        EXPECT_EQ(input.deviceName(), QString::fromStdString(sourceName));
        EXPECT_EQ(output.deviceName(), QString::fromStdString(destinationName));
    });
}

// A keyboard program and a synthesizer program restart their MIDI (or a
// device is enumerated again): each port goes and comes back at once under
// its name, before the window's loop can look. The connections went with the
// old ports, so each is a leaving all the same: one box per device, both
// ports connect to the new ones by themselves, and the chain plays on.
TEST_P(MidiSystemContract, PortsMadeAgainAtOnceUnderTheirNamesAreConnectedAgain) {
    runCase([&] {
        PassingChain chain(backend());
        const auto source = kit().createSource("restarting-source");
        const auto destination = kit().createDestination("restarting-destination", 1024);
        const std::string sourceName = source->portName();
        const std::string destinationName = destination->portName();
        ASSERT_TRUE(chain.openAndStart(sourceName, destinationName));

        ASSERT_TRUE(source->remakePort());
        ASSERT_TRUE(destination->remakePort());
        ASSERT_EQ(source->portName(), sourceName);
        ASSERT_EQ(destination->portName(), destinationName);
        if (const auto why = kit().limit(Limit::PortsMadeAgainUnnoticed)) {
            pumpUntil([&] { return chain.errors.size() >= 2; }, 2000ms);
            skipForLimit(kit(), *why, std::to_string(chain.errors.size()) + " of 2 boxes came");
            return;
        }
        ASSERT_TRUE(pumpUntil([&] { return chain.errors.size() >= 2; }, 5000ms))
            << "the ports made again went unnoticed: " << chain.errors.join('\n').toStdString();
        ASSERT_TRUE(pumpUntil([&] {
            return chain.input.portState() == PORT_STATE_STARTED &&
                   chain.output.portState() == PORT_STATE_STARTED;
        }));
        const auto messages = mixedMessages(100);
        source->send(rawEvents(messages), 0);
        pumpUntil([&] { return destination->count() >= messages.size(); });
        settle();
        EXPECT_TRUE(arrivedInOrder(messages, destination->messages()));
        QStringList expected = wentAwayTexts(sourceName, destinationName);
        QStringList errors = chain.errors;
        std::ranges::sort(errors);
        std::ranges::sort(expected);
        EXPECT_EQ(errors, expected);
    });
}

// A program renames the ports Keyflip is connected to (a track renamed in a
// sequencer): they count as gone, and when other devices are chosen only
// those play. The renamed ones must not stay connected and join in.
TEST_P(MidiSystemContract, DevicesRenamedAwayAreLetGoOfSoOnlyTheNextOnesChosenPlay) {
    runCase([&] {
        PassingChain chain(backend());
        const QStringList& errors = chain.errors;
        auto renamedSource = kit().createSource("renamed-source");
        auto renamedDestination = kit().createDestination("renamed-destination", 1024);
        ASSERT_TRUE(chain.openAndStart(renamedSource->portName(), renamedDestination->portName()));
        ASSERT_TRUE(errors.empty()) << errors.join(' ').toStdString();

        ASSERT_TRUE(renamedSource->renamePort("track-2"));
        ASSERT_TRUE(renamedDestination->renamePort("track-2"));
        ASSERT_TRUE(pumpUntil([&] { return errors.size() == 2; }, 5000ms))
            << errors.join('\n').toStdString();

        auto chosenSource = kit().createSource("chosen-source");
        auto chosenDestination = kit().createDestination("chosen-destination", 1024);
        ASSERT_TRUE(pumpUntil([&] {
            return contains(backend().sourceNames(), chosenSource->portName()) &&
                   contains(backend().destinationNames(), chosenDestination->portName());
        }));
        ASSERT_TRUE(chain.openAndStart(chosenSource->portName(), chosenDestination->portName()));
        const auto controllers = [](std::uint8_t controller) {
            std::vector<WireMessage> messages;
            for (std::uint8_t value = 0; value < 40; ++value) {
                messages.push_back(WireMessage{{0xB0, controller, value}, 3});
            }
            return messages;
        };
        const auto played = controllers(2);
        renamedSource->send(rawEvents(controllers(1)), 0);
        chosenSource->send(rawEvents(played), 0);
        pumpUntil([&] {
            return renamedSource->sentCount() == played.size() &&
                   chosenDestination->count() >= played.size();
        });
        settle();
        EXPECT_TRUE(arrivedInOrder(played, chosenDestination->messages()));
        EXPECT_EQ(renamedDestination->count(), 0u);
        EXPECT_EQ(errors.size(), 2u) << errors.join('\n').toStdString();
    });
}

// The whole window, as a user plays it: the synthesizer restarts under its
// name, then the keyboard is unplugged with two keys down and plugged in
// again. The window connects to each by itself; the synthesizer hears the
// held notes released when the keyboard left and everything played after,
// in order; and there is one box per device that left.
TEST_P(MidiSystemContract, TheWindowPlaysOnWhenItsDevicesComeBack) {
    runCase([&] {
        auto keyboard = kit().createSource("window-keyboard");
        auto synth = kit().createDestination("window-synth", 4096);
        const std::string keyboardName = keyboard->portName();
        const std::string synthName = synth->portName();
        testing::RecordingHost host;
        host.onModal = [&](MIDISetupForm& form) {
            form.ComboMidiIn->setCurrentIndex(
                form.ComboMidiIn->findText(QString::fromStdString(keyboardName)));
            form.ComboMidiOut->setCurrentIndex(
                form.ComboMidiOut->findText(QString::fromStdString(synthName)));
            form.CmdOk->click();
        };
        frmMain window(backend(), host);
        window.Command1->click();
        ASSERT_EQ(window.MIDIInput1->deviceName(), QString::fromStdString(keyboardName));
        ASSERT_EQ(window.MIDIOutput1->deviceName(), QString::fromStdString(synthName));
        ASSERT_EQ(window.MIDIOutput1->portState(), PORT_STATE_STARTED);
        const auto started = [](auto& port) { return port.portState() == PORT_STATE_STARTED; };

        synth.reset();
        ASSERT_TRUE(pumpUntil([&] { return host.boxes.size() == 1; }, 5000ms));
        synth = kit().createDestination("window-synth", 4096);
        ASSERT_TRUE(pumpUntil([&] { return started(*window.MIDIOutput1); }, 5000ms));

        const std::vector<WireMessage> keys{WireMessage{{0x90, 60, 100}, 3},
                                            WireMessage{{0x91, 64, 90}, 3}};
        keyboard->send(rawEvents(keys), 0);
        ASSERT_TRUE(pumpUntil([&] { return synth->count() >= keys.size(); }));
        keyboard.reset();
        ASSERT_TRUE(pumpUntil([&] { return host.boxes.size() == 2; }, 5000ms));
        pumpUntil([&] { return synth->count() >= keys.size() + 2; }, 2000ms);
        keyboard = kit().createSource("window-keyboard");
        ASSERT_TRUE(pumpUntil([&] { return started(*window.MIDIInput1); }, 5000ms));
        std::vector<WireMessage> later;
        for (std::uint8_t value = 0; value < 100; ++value) {
            later.push_back(
                WireMessage{{static_cast<std::uint8_t>(0xB0 | (value % 16)), 7, value}, 3});
        }
        keyboard->send(rawEvents(later), 0);
        pumpUntil([&] { return synth->count() >= keys.size() + 2 + later.size(); });
        settle();

        auto heard = synth->messages();
        ASSERT_GE(heard.size(), keys.size() + 2);
        std::vector<WireMessage> released(heard.begin() + 2, heard.begin() + 4);
        std::ranges::sort(released, {}, [](const WireMessage& m) { return m.bytes; });
        EXPECT_TRUE(arrivedInOrder(keys, {heard.begin(), heard.begin() + 2}));
        EXPECT_TRUE(arrivedInOrder({WireMessage{{0x80, 60, 0}, 3}, WireMessage{{0x81, 64, 0}, 3}},
                                   released));
        EXPECT_TRUE(arrivedInOrder(later, {heard.begin() + 4, heard.end()}));
        ASSERT_EQ(host.boxes.size(), 2u);
        EXPECT_EQ(host.boxes[0].text,
                  QStringLiteral("The MIDI output device \"%1\" went away. Keyflip will connect "
                                 "to it again as soon as it is back.")
                      .arg(QString::fromStdString(synthName)));
        EXPECT_EQ(host.boxes[1].text,
                  QStringLiteral("The MIDI input device \"%1\" went away. Keyflip will connect "
                                 "to it again as soon as it is back.")
                      .arg(QString::fromStdString(keyboardName)));
        window.stopbutton->click();
    });
}

// Closing the output port never leaves a synthesizer droning.
TEST_P(MidiSystemContract, ClosingTheOutputPortSendsNoteOffsForSoundingNotes) {
    runCase([&] {
        const auto destination = kit().createDestination("synth", 64);
        MidiOutputPort port(backend());
        std::int16_t index = -1;
        for (std::int16_t candidate = 0; candidate < port.deviceCount(); ++candidate) {
            port.setDeviceIndex(candidate);
            if (port.deviceName() == QString::fromStdString(destination->portName())) {
                index = candidate;
            }
        }
        ASSERT_GE(index, 0) << destination->portName() << " is not offered";
        port.setDeviceIndex(index);
        port.setPortCommand(PORT_OPEN);
        port.setPortCommand(PORT_START);
        const auto play = [&](std::int16_t status, std::int16_t key, std::int16_t velocity) {
            port.setMsgStatus(status);
            port.setMsgData1(key);
            port.setMsgData2(velocity);
            port.setPortCommand(MSG_SEND);
        };
        play(0x90, 60, 100);
        play(0x91, 64, 90);
        play(0x90, 67, 80);
        play(0x80, 67, 0);  // released already: no second Note Off
        port.setPortCommand(PORT_CLOSE);
        pumpUntil([&] { return destination->count() >= 6; });
        settle();
        EXPECT_TRUE(arrivedInOrder({WireMessage{{0x90, 60, 100}, 3}, WireMessage{{0x91, 64, 90}, 3},
                                    WireMessage{{0x90, 67, 80}, 3}, WireMessage{{0x80, 67, 0}, 3},
                                    WireMessage{{0x80, 60, 0}, 3}, WireMessage{{0x81, 64, 0}, 3}},
                                   destination->messages()));
    });
}

// Malformed, unexpected and oversized events between good ones: the good ones
// arrive intact and in order, nothing else does, and nothing breaks.
TEST_P(MidiSystemContract, HostileInputLeavesTheGoodMessagesIntact) {
    runCase([&] {
        const auto source = kit().createSource("hostile-source");
        OpenInput input(backend());
        ASSERT_EQ(backend().openInput(source->portName()), std::nullopt);
        const std::vector<RawEvent> hostile{
            {0x3C, 0x40},                          // data without status
            {0x90, 0x3C},                          // cut short
            {0xF0, 0x01, 0x02},                    // SysEx never ended
            {0xF7},                                // end of SysEx alone
            {0xF4},                                // undefined system common
            {0xF5},                                // undefined system common
            {0xF0, 0x7D, 0x11, 0x22, 0x33, 0xF7},  // well-formed SysEx
            RawEvent(600, 0x55),                   // long data run
            {0xF0, 0x7D, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0xF7},
        };
        const auto good = mixedMessages(200);
        std::vector<RawEvent> events;
        for (std::size_t index = 0; index < good.size(); ++index) {
            events.push_back(hostile[index % hostile.size()]);
            const auto bytes = good[index].view();
            events.emplace_back(bytes.begin(), bytes.end());
        }
        source->send(events, 50);
        waitForArrival(
            kit(), Limit::UnendedSysExTakesTheNextEvent,
            [&] { return input.drain.messages.size() >= good.size(); },
            [&] { return source->sentCount() + input.drain.messages.size(); });
        settle();
        expectArrivedInOrder(kit(), Limit::UnendedSysExTakesTheNextEvent, good,
                             input.drain.messages);
    });
}

}  // namespace contract
}  // namespace keyflip
