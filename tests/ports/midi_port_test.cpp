#include "incoming_queue.h"
#include "port_test_support.h"
#include "program_error.h"

#include <gtest/gtest.h>
#include <QDeadlineTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

namespace keyflip {
namespace {

using testing_support::InMemoryPorts;
using testing_support::processPendingEvents;
using testing_support::RecordedError;

class MidiPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ports.backend.setSources({"keyboard:out", "pads:out"});
        ports.backend.setDestinations({"synth:in", "sampler:in", "drums:in"});
    }

    std::vector<std::string> inputNames() {
        std::vector<std::string> names;
        const std::int16_t count = ports.input.deviceCount();
        for (std::int16_t i = 0; i < count; ++i) {
            ports.input.setDeviceIndex(i);
            names.push_back(ports.input.deviceName().toStdString());
        }
        return names;
    }

    void send(const ShortMessage& message) {
        ports.output.setMsgStatus(message.status);
        ports.output.setMsgData1(message.data1);
        ports.output.setMsgData2(message.data2);
        ports.output.setPortCommand(MSG_SEND);
    }

    std::vector<ShortMessage> sentMessages() {
        std::vector<ShortMessage> messages;
        for (const auto& wire : ports.backend.sent()) {
            messages.push_back(*decodeShortMessage(wire.view()));
        }
        return messages;
    }

    InMemoryPorts ports;
};

TEST_F(MidiPortTest, InputsListTheSourcesThenTheOwnPort) {
    EXPECT_EQ(inputNames(), (std::vector<std::string>{"keyboard:out", "pads:out", "Keyflip in"}));
}

TEST_F(MidiPortTest, OutputListsTheDestinationsWithTheOwnPortAsDefault) {
    EXPECT_EQ(ports.output.deviceCount(), 3);
    ports.output.setDeviceIndex(-1);
    EXPECT_EQ(ports.output.deviceName(), "Keyflip out");
    ports.output.setDeviceIndex(2);
    EXPECT_EQ(ports.output.deviceName(), "drums:in");
}

TEST_F(MidiPortTest, OpeningConnectsTheListedDeviceByName) {
    inputNames();
    ports.output.deviceCount();
    ports.input.setDeviceIndex(1);
    ports.input.setPortCommand(PORT_OPEN);
    ports.output.setDeviceIndex(0);
    ports.output.setPortCommand(PORT_OPEN);
    EXPECT_EQ(ports.backend.connectedSource(), "pads:out");
    EXPECT_EQ(ports.backend.connectedDestination(), "synth:in");
    EXPECT_EQ(ports.input.portState(), PORT_STATE_OPEN);
    EXPECT_EQ(ports.output.portState(), PORT_STATE_OPEN);
    EXPECT_TRUE(ports.errors.empty());
}

TEST_F(MidiPortTest, TheOwnPortsOpenWithoutAConnection) {
    ports.openAndStartBoth();
    EXPECT_TRUE(ports.backend.inputOpen());
    EXPECT_TRUE(ports.backend.outputOpen());
    EXPECT_EQ(ports.backend.connectedSource(), "");
    EXPECT_EQ(ports.backend.connectedDestination(), "");
}

// Indexes mean the list as it was read: when devices come and go in
// between, the port opens the device the user picked or says it is gone.
TEST_F(MidiPortTest, AChangedListNeverOpensANeighbour) {
    inputNames();
    ports.backend.setSources({"new:out", "keyboard:out", "pads:out"});
    ports.input.setDeviceIndex(0);
    ports.input.setPortCommand(PORT_OPEN);
    EXPECT_EQ(ports.backend.connectedSource(), "keyboard:out");

    ports.backend.setSources({"new:out", "keyboard:out"});
    ports.input.setDeviceIndex(1);
    ports.input.setPortCommand(PORT_OPEN);
    EXPECT_EQ(ports.input.portState(), PORT_STATE_CLOSED);
    ASSERT_EQ(ports.errors.size(), 1u);
    EXPECT_EQ(ports.errors[0].code, 2);
    EXPECT_NE(ports.errors[0].text.find("pads:out"), std::string::npos);
}

TEST_F(MidiPortTest, ADeviceThatRefusesIsReportedAndTheRestStays) {
    ports.backend.refuseDevice("synth:in");
    ports.output.deviceCount();
    ports.output.setDeviceIndex(0);
    ports.output.setPortCommand(PORT_OPEN);
    EXPECT_EQ(ports.output.portState(), PORT_STATE_CLOSED);
    ASSERT_EQ(ports.errors.size(), 1u);
    EXPECT_EQ(ports.errors[0].code, 3);
}

TEST_F(MidiPortTest, ValuesNoPortAcceptsRaiseInvalidPropertyValue) {
    const std::vector<std::function<void()>> refused = {
        [&] { ports.input.setDeviceIndex(-1); },  [&] { ports.input.setDeviceIndex(INT16_MIN); },
        [&] { ports.output.setDeviceIndex(-2); }, [&] { ports.input.setPortCommand(0); },
        [&] { ports.input.setPortCommand(3); },   [&] { ports.input.setPortCommand(MSG_SEND); },
        [&] { ports.input.setPortCommand(-1); },  [&] { ports.output.setPortCommand(MSG_DROP); },
        [&] { ports.output.setPortCommand(8); },  [&] { ports.output.setPortCommand(INT16_MAX); },
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        try {
            refused[i]();
            ADD_FAILURE() << "case " << i << " was accepted";
        } catch (const ProgramError& error) {
            EXPECT_STREQ(error.description(), "Invalid property value") << i;
        }
    }
}

TEST_F(MidiPortTest, CommandsInTheWrongStateAreHarmless) {
    ports.input.setPortCommand(PORT_STOP);
    ports.input.setPortCommand(PORT_CLOSE);
    ports.input.setPortCommand(MSG_DROP);
    ports.output.setPortCommand(PORT_CLOSE);
    ports.output.setMsgStatus(144);
    ports.output.setMsgData1(60);
    ports.output.setMsgData2(100);
    ports.output.setPortCommand(MSG_SEND);
    EXPECT_TRUE(ports.backend.sent().empty());
    EXPECT_TRUE(ports.errors.empty());
    EXPECT_EQ(ports.input.portState(), PORT_STATE_CLOSED);
    EXPECT_EQ(ports.input.pendingCount(), 0);
}

TEST_F(MidiPortTest, StartingAClosedPortSaysSo) {
    ports.input.setPortCommand(PORT_START);
    ports.output.setPortCommand(PORT_START);
    EXPECT_EQ(ports.errors, (std::vector<RecordedError>{{4, "The MIDI input is not open."},
                                                        {4, "The MIDI output is not open."}}));
    EXPECT_EQ(ports.input.portState(), PORT_STATE_CLOSED);
}

TEST_F(MidiPortTest, StatesFollowTheCommands) {
    ports.openAndStartBoth();
    EXPECT_NE(ports.input.portState(), PORT_STATE_OPEN);
    EXPECT_NE(ports.input.portState(), PORT_STATE_CLOSED);
    ports.input.setPortCommand(PORT_STOP);
    EXPECT_EQ(ports.input.portState(), PORT_STATE_OPEN);
    ports.input.setPortCommand(PORT_CLOSE);
    EXPECT_EQ(ports.input.portState(), PORT_STATE_CLOSED);
}

TEST_F(MidiPortTest, MessageIsRaisedOnlyWhileStartedAndOncePerBatch) {
    int messageEvents = 0;
    QObject::connect(&ports.input, &MidiInputPort::Message, [&] { ++messageEvents; });
    ports.input.deviceCount();
    ports.input.setDeviceIndex(2);
    ports.input.setPortCommand(PORT_OPEN);
    EXPECT_FALSE(ports.backend.deliver(ShortMessage{144, 60, 1})) << "open, not started";
    ports.input.setPortCommand(PORT_START);
    ports.backend.deliver(ShortMessage{144, 60, 1});
    ports.backend.deliver(ShortMessage{144, 61, 1});
    processPendingEvents();
    EXPECT_EQ(messageEvents, 1);
    EXPECT_EQ(ports.input.pendingCount(), 2);
    EXPECT_EQ(ports.input.msgData1(), 60);
    ports.input.setPortCommand(MSG_DROP);
    EXPECT_EQ(ports.input.msgData1(), 61);
}

// The port takes its wake-up only after the handler has run; a message that
// arrives after the handler's last look at the count must still be passed on.
TEST_F(MidiPortTest, AMessageArrivingAsTheHandlerFinishesIsStillPassedOn) {
    ports.openAndStartBoth();
    std::vector<std::int16_t> handled;
    bool arrivedLate = false;
    QObject::connect(&ports.input, &MidiInputPort::Message, [&] {
        while (ports.input.pendingCount() > 0) {
            handled.push_back(ports.input.msgData1());
            ports.input.setPortCommand(MSG_DROP);
        }
        if (!arrivedLate) {
            arrivedLate = true;
            ports.backend.deliver(ShortMessage{144, 61, 1});
        }
    });
    ports.backend.deliver(ShortMessage{144, 60, 1});
    const QDeadlineTimer deadline(std::chrono::seconds(2));
    while (handled.size() < 2 && !deadline.hasExpired()) {
        processPendingEvents();
    }
    EXPECT_EQ(handled, (std::vector<std::int16_t>{60, 61}));
    EXPECT_EQ(ports.input.pendingCount(), 0);
}

// The MIDI system's thread delivers while the UI thread passes messages on,
// each message as soon as the one before it is taken, so its push and its
// wake-up fall anywhere in the port's handling of the last one. Whatever the
// interleaving, no message may wait for the next to be passed on; one whose
// wake-up the port took without seeing the message would wait here forever.
// The unlucky interleaving is rare (about once in 100,000 messages here), so
// the test plays for two seconds.
TEST_F(MidiPortTest, EveryMessageIsPassedOnWithoutWaitingForTheNext) {
    ports.openAndStartBoth();
    std::atomic<int> taken{0};
    QObject::connect(&ports.input, &MidiInputPort::Message, [&] {
        while (ports.input.pendingCount() > 0) {
            ports.input.setPortCommand(MSG_DROP);
            taken.fetch_add(1, std::memory_order_release);
        }
    });
    std::atomic<int> stranded{-1};
    std::atomic<bool> done{false};
    std::thread midiSystem([&] {
        const QDeadlineTimer playing(std::chrono::seconds(2));
        for (int i = 0; !playing.hasExpired(); ++i) {
            ports.backend.deliver(ShortMessage{144, static_cast<std::int16_t>(i % 128), 1});
            const QDeadlineTimer limit(std::chrono::seconds(10));
            while (taken.load(std::memory_order_acquire) <= i) {
                if (limit.hasExpired()) {
                    stranded.store(i);
                    done.store(true);
                    return;
                }
            }
        }
        done.store(true);
    });
    while (!done.load()) {
        processPendingEvents();
    }
    midiSystem.join();
    EXPECT_EQ(stranded.load(), -1)
        << "message " << stranded.load() << " was not passed on until the next one came";
}

TEST_F(MidiPortTest, AFullQueueLosesTheNewestAndReportsOnce) {
    ports.openAndStartBoth();
    for (std::size_t i = 0; i < IncomingQueue::kCapacity + 10; ++i) {
        ports.backend.deliver(ShortMessage{144, static_cast<std::int16_t>(i % 128), 1});
    }
    processPendingEvents();
    ASSERT_EQ(ports.errors.size(), 1u);
    EXPECT_EQ(ports.errors[0].code, 5);
    EXPECT_EQ(ports.errors[0].text.rfind("10 incoming MIDI messages were lost", 0), 0u)
        << ports.errors[0].text;
    EXPECT_EQ(ports.input.pendingCount(), INT16_MAX) << "the count is 16-bit";
    EXPECT_EQ(ports.input.msgData1(), 0) << "the oldest stay";
}

TEST_F(MidiPortTest, ClosingTheOutputSilencesEveryNoteStillSounding) {
    ports.openAndStartBoth();
    for (const ShortMessage& message :
         {ShortMessage{144, 60, 100}, ShortMessage{144, 64, 100}, ShortMessage{153, 36, 90},
          ShortMessage{128, 60, 0}, ShortMessage{145, 70, 0}, ShortMessage{176, 1, 5}}) {
        send(message);
    }
    ports.backend.clearSent();
    ports.output.setPortCommand(PORT_CLOSE);
    EXPECT_EQ(sentMessages(), (std::vector<ShortMessage>{{128, 64, 0}, {137, 36, 0}}));
    ports.backend.clearSent();
    ports.output.setPortCommand(PORT_CLOSE);
    EXPECT_TRUE(ports.backend.sent().empty()) << "closing twice sends nothing more";
}

// The wheel note is struck again by every wheel message, so it may owe
// hundreds of Note Offs when the output closes. Every pitch still sounding
// gets its first Note Off before any gets a second: a destination that takes
// only the first few (a full buffer) has then still silenced them all.
TEST_F(MidiPortTest, ClosingSilencesEveryPitchOnceBeforeAnyPitchTwice) {
    ports.openAndStartBoth();
    for (int wheel = 1; wheel <= 300; ++wheel) {
        send({144, 30, static_cast<std::int16_t>(wheel % 127 + 1)});
    }
    send({144, 72, 100});
    send({145, 10, 100});
    ports.backend.clearSent();
    ports.output.setPortCommand(PORT_CLOSE);
    const std::vector<ShortMessage> noteOffs = sentMessages();
    ASSERT_EQ(noteOffs.size(), 302u);
    EXPECT_EQ(std::vector<ShortMessage>(noteOffs.begin(), noteOffs.begin() + 3),
              (std::vector<ShortMessage>{{128, 30, 0}, {128, 72, 0}, {129, 10, 0}}));
    EXPECT_EQ(std::count(noteOffs.begin() + 3, noteOffs.end(), ShortMessage{128, 30, 0}), 299);
}

// A Note Off the MIDI system did not take (its buffer was full), or one of
// the output's connections missed, leaves a note sounding. It stays owed,
// and goes out once the output takes messages again: after the next message
// it takes, before a Note On of its pitch, or on its own when nothing more is
// played (the keyboard gone with its key up); at the latest when it closes.
enum class Taken { Everywhere, Refused, Partly };

struct RefusedNoteOffCase {
    const char* name;
    std::vector<std::pair<ShortMessage, Taken>> played;
    std::vector<ShortMessage> sent;  // before the port closes, each where it was taken
    std::vector<ShortMessage> sentOnClosing;
    bool closedAtOnce = false;  // before the event loop runs again
};

void PrintTo(const RefusedNoteOffCase& value, std::ostream* out) {
    *out << value.name;
}

class RefusedNoteOffTest : public MidiPortTest,
                           public ::testing::WithParamInterface<RefusedNoteOffCase> {};

TEST_P(RefusedNoteOffTest, GoesOutOnceTheOutputTakesMessagesAgain) {
    const RefusedNoteOffCase& param = GetParam();
    ports.openAndStartBoth();
    for (const auto& [message, taken] : param.played) {
        ports.backend.refuseSends(taken == Taken::Refused ? 1 : 0);
        ports.backend.missSends(taken == Taken::Partly ? 1 : 0);
        send(message);
    }
    ports.backend.refuseSends(0);
    ports.backend.missSends(0);
    const QDeadlineTimer deadline(std::chrono::seconds(2));
    while (!param.closedAtOnce && ports.backend.sent().size() < param.sent.size() &&
           !deadline.hasExpired()) {
        processPendingEvents();
    }
    if (!param.closedAtOnce) {
        processPendingEvents();
    }
    EXPECT_EQ(sentMessages(), param.sent);
    ports.backend.clearSent();
    ports.output.setPortCommand(PORT_CLOSE);
    EXPECT_EQ(sentMessages(), param.sentOnClosing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedNoteOffTest,
    ::testing::Values(
        RefusedNoteOffCase{"afterTheNextMessage",
                           {{{144, 60, 100}, Taken::Everywhere},
                            {{128, 60, 0}, Taken::Refused},
                            {{176, 7, 1}, Taken::Everywhere}},
                           {{144, 60, 100}, {176, 7, 1}, {128, 60, 0}},
                           {}},
        RefusedNoteOffCase{"beforeItsPitchIsStruckAgain",
                           {{{144, 60, 100}, Taken::Everywhere},
                            {{128, 60, 0}, Taken::Refused},
                            {{144, 61, 100}, Taken::Everywhere},
                            {{144, 60, 90}, Taken::Everywhere}},
                           {{144, 60, 100}, {144, 61, 100}, {128, 60, 0}, {144, 60, 90}},
                           {{128, 60, 0}, {128, 61, 0}}},
        RefusedNoteOffCase{"onItsOwnWhenNothingMoreIsPlayed",
                           {{{144, 60, 100}, Taken::Everywhere}, {{128, 60, 0}, Taken::Refused}},
                           {{144, 60, 100}, {128, 60, 0}},
                           {}},
        RefusedNoteOffCase{"notForANoteThatNeverSounded",
                           {{{144, 60, 100}, Taken::Refused},
                            {{128, 60, 0}, Taken::Refused},
                            {{176, 7, 1}, Taken::Everywhere}},
                           {{176, 7, 1}},
                           {}},
        RefusedNoteOffCase{"missedByOneConnection",
                           {{{144, 60, 100}, Taken::Everywhere}, {{128, 60, 0}, Taken::Partly}},
                           {{144, 60, 100}, {128, 60, 0}, {128, 60, 0}},
                           {}},
        RefusedNoteOffCase{"missedByOneConnectionAsTheOutputCloses",
                           {{{144, 60, 100}, Taken::Everywhere},
                            {{144, 64, 100}, Taken::Everywhere},
                            {{128, 60, 0}, Taken::Partly}},
                           {{144, 60, 100}, {144, 64, 100}, {128, 60, 0}},
                           {{128, 60, 0}, {128, 64, 0}},
                           true},
        RefusedNoteOffCase{"aNoteOnMissedByOneConnectionSoundsInTheOthers",
                           {{{144, 60, 100}, Taken::Partly}},
                           {{144, 60, 100}},
                           {{128, 60, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MidiPortTest, ALostConnectionClosesThePortAndIsReportedOnce) {
    ports.openAndStartBoth();
    ports.backend.loseConnection(PortSide::Input, "The keyboard went away.");
    ports.backend.loseConnection(PortSide::Input, "The keyboard went away.");
    EXPECT_EQ(ports.input.portState(), PORT_STATE_CLOSED);
    EXPECT_NE(ports.output.portState(), PORT_STATE_CLOSED);
    EXPECT_EQ(ports.errors, (std::vector<RecordedError>{{6, "The keyboard went away."}}));
}

TEST_F(MidiPortTest, AnUnreachableSystemListsNothingAndIsReportedOnce) {
    ports.backend.setUnreachable(QStringLiteral("No MIDI system could be reached."));
    EXPECT_EQ(ports.input.deviceCount(), 0);
    EXPECT_EQ(ports.output.deviceCount(), 0);
    ports.output.setDeviceIndex(-1);
    ports.output.setPortCommand(PORT_OPEN);
    ports.input.setDeviceIndex(0);
    ports.input.setPortCommand(PORT_OPEN);
    ports.output.setPortCommand(PORT_OPEN);
    EXPECT_EQ(ports.errors, (std::vector<RecordedError>{{1, "No MIDI system could be reached."}}));
    EXPECT_EQ(ports.output.portState(), PORT_STATE_CLOSED);

    ports.backend.setUnreachable(std::nullopt);
    ports.output.setPortCommand(PORT_OPEN);
    EXPECT_EQ(ports.output.portState(), PORT_STATE_OPEN) << "reachable again";
}

}  // namespace
}  // namespace keyflip
