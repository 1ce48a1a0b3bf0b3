#include "port_test_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace keyflip {
namespace {

using testing_support::InMemoryPorts;
using testing_support::LoggingDisplay;
using testing_support::PlainSettings;
using Lines = std::vector<std::string>;

class MessagePumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ports.openAndStartBoth();
        log().clear();
    }

    RecordingAccessLog& log() { return ports.backend.log(); }

    void deliver(std::initializer_list<ShortMessage> messages) {
        for (const auto& message : messages) {
            ASSERT_TRUE(ports.backend.deliver(message));
        }
    }

    std::vector<ShortMessage> sentMessages() const {
        std::vector<ShortMessage> result;
        for (const auto& wire : ports.backend.sent()) {
            result.push_back(*decodeShortMessage(wire.view()));
        }
        return result;
    }

    InMemoryPorts ports;
    PlainSettings settings;
    LoggingDisplay display{ports.backend.log()};
    MessagePump pump{ports.input, ports.output, settings, display};
};

Lines oneMessage(const char* in, const char* out) {
    const std::string i = in;
    const std::string o = out;
    auto field = [](const std::string& triple, int n) {
        std::size_t start = 0;
        for (int k = 0; k < n; ++k) start = triple.find(',', start) + 1;
        const std::size_t end = triple.find(',', start);
        return triple.substr(start, end == std::string::npos ? end : end - start);
    };
    return {"in.MsgStatus -> " + field(i, 0), "in.MsgData1 -> " + field(i, 1),
            "in.MsgData2 -> " + field(i, 2),  "out.MsgStatus <- " + field(o, 0),
            "out.MsgData1 <- " + field(o, 1), "out.MsgData2 <- " + field(o, 2),
            "out.PortCommand <- 7",           "in.PortCommand <- 6"};
}

// The boxes, written once at the end of a run.
Lines boxes(const char* status, const char* data1, const char* data2) {
    return {std::string("display.message <- ") + status, std::string("display.data1 <- ") + data1,
            std::string("display.data2 <- ") + data2};
}

Lines concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(MessagePumpTest, NothingPendingSendsNothingAndLeavesTheBoxes) {
    display.status = "unchanged";
    pump.run();
    EXPECT_EQ(log().lines(), Lines{"in.PendingCount -> 0"});
    EXPECT_TRUE(ports.backend.sent().empty());
    EXPECT_EQ(display.status, "unchanged");
}

TEST_F(MessagePumpTest, OneMessageFollowsTheExactOrder) {
    settings.transpose = 2;
    deliver({{144, 60, 90}});
    pump.run();
    EXPECT_EQ(log().lines(), concat({{"in.PendingCount -> 1"},
                                     oneMessage("144,60,90", "144,62,90"),
                                     {"in.PendingCount -> 0"},
                                     boxes("144", "62", "90")}));
    EXPECT_EQ((std::vector<std::string>{display.status, display.data1, display.data2}),
              (std::vector<std::string>{"144", "62", "90"}));
}

TEST_F(MessagePumpTest, ThreeMessagesLeaveInQueueOrderAndTheBoxesEndOnTheLast) {
    deliver({{144, 60, 90}, {176, 1, 33}, {128, 60, 0}});
    pump.run();
    EXPECT_EQ(log().lines(), concat({{"in.PendingCount -> 3"},
                                     oneMessage("144,60,90", "144,60,90"),
                                     {"in.PendingCount -> 2"},
                                     oneMessage("176,1,33", "144,64,33"),
                                     {"in.PendingCount -> 1"},
                                     oneMessage("128,60,0", "128,60,0"),
                                     {"in.PendingCount -> 0"},
                                     boxes("128", "60", "0")}));
    EXPECT_EQ(sentMessages(),
              (std::vector<ShortMessage>{{144, 60, 90}, {144, 64, 33}, {128, 60, 0}}));
    EXPECT_EQ(display.status + " " + display.data1 + " " + display.data2, "128 60 0");
}

TEST_F(MessagePumpTest, ReverseTurnsController126IntoTheWheelNote) {
    settings.reverse = true;
    settings.wheel = 40;
    deliver({{176, 126, 33}});
    pump.run();
    EXPECT_EQ(sentMessages(), (std::vector<ShortMessage>{{144, 40, 33}}));
    EXPECT_EQ(display.status, "144");
}

TEST_F(MessagePumpTest, NegativeValuesShowWithAMinusSign) {
    settings.transpose = 12;
    settings.reverse = true;
    deliver({{144, 127, 64}});
    pump.run();
    EXPECT_EQ(display.data1, "-12");
    EXPECT_TRUE(ports.backend.sent().empty()) << "-12 cannot go on the wire";
    ASSERT_EQ(ports.errors.size(), 1u);
    EXPECT_EQ(ports.errors[0].code, 8);
}

// Settings that run a callback the first time transpose is read, to let a
// test act in the middle of a pump run.
struct SettingsWithHook : PlainSettings {
    mutable std::function<void()> onTransposeRead;
    std::int16_t transposeAmount() const override {
        if (onTransposeRead) {
            auto hook = std::move(onTransposeRead);
            hook();
        }
        return transpose;
    }
};

TEST(MessagePumpRun, AMessageArrivingDuringTheRunLeavesInTheSameRun) {
    InMemoryPorts ports;
    ports.openAndStartBoth();
    SettingsWithHook settings;
    settings.onTransposeRead = [&] { ports.backend.deliver(ShortMessage{144, 70, 1}); };
    LoggingDisplay display(ports.backend.log());
    MessagePump pump(ports.input, ports.output, settings, display);
    ports.backend.deliver(ShortMessage{144, 60, 1});
    pump.run();
    ASSERT_EQ(ports.backend.sent().size(), 2u);
    EXPECT_EQ(display.data1, "70");
}

// The output port, running a callback after each message is sent.
struct OutputWithHook : OutputPortMembers {
    explicit OutputWithHook(OutputPortMembers& port) : port(port) {}
    OutputPortMembers& port;
    std::function<void()> afterMessage;
    void setMsgStatus(std::int16_t value) override { port.setMsgStatus(value); }
    void setMsgData1(std::int16_t value) override { port.setMsgData1(value); }
    void setMsgData2(std::int16_t value) override { port.setMsgData2(value); }
    void setPortCommand(std::int16_t code) override {
        port.setPortCommand(code);
        if (code == MSG_SEND && afterMessage) afterMessage();
    }
};

TEST_F(MessagePumpTest, ALongRunWritesTheBoxesOnceAndEndsOnTheLastMessage) {
    settings.transpose = 1;
    for (std::int16_t note = 0; note < 100; ++note) {
        ASSERT_TRUE(ports.backend.deliver(ShortMessage{144, note, 64}));
    }
    pump.run();
    ASSERT_EQ(ports.backend.sent().size(), 100u);
    Lines boxWrites;
    for (const auto& line : log().lines()) {
        if (line.starts_with("display.")) boxWrites.push_back(line);
    }
    EXPECT_EQ(boxWrites, boxes("144", "100", "64"));
    EXPECT_EQ((std::vector<std::string>{display.status, display.data1, display.data2}),
              (std::vector<std::string>{"144", "100", "64"}));
}

TEST_F(MessagePumpTest, TheBoxesEndOnTheLastMessageComputedEvenWhenItIsNotSent) {
    settings.transpose = 12;
    deliver({{144, 60, 64}, {144, 120, 64}});
    pump.run();
    EXPECT_EQ(sentMessages(), (std::vector<ShortMessage>{{144, 72, 64}}));
    EXPECT_EQ((std::vector<std::string>{display.status, display.data1, display.data2}),
              (std::vector<std::string>{"144", "132", "64"}));
}

TEST_F(MessagePumpTest, SettingsChangedBetweenMessagesApplyToTheNextOne) {
    OutputWithHook hookedOutput(ports.output);
    MessagePump hookedPump(ports.input, hookedOutput, settings, display);
    hookedOutput.afterMessage = [&] {
        settings.transpose = static_cast<std::int16_t>(settings.transpose + 1);
    };
    deliver({{144, 60, 1}, {144, 61, 1}, {176, 1, 5}});
    settings.wheel = 10;
    hookedPump.run();
    EXPECT_EQ(sentMessages(),
              (std::vector<ShortMessage>{{144, 60, 1}, {144, 62, 1}, {144, 10, 5}}));
}

// A scripted input that reports a negative PendingCount.
struct NegativeCountInput : InputPortMembers {
    int reads = 0;
    std::int16_t pendingCount() override {
        ++reads;
        return -3;
    }
    std::int16_t msgStatus() override { return 144; }
    std::int16_t msgData1() override { return 60; }
    std::int16_t msgData2() override { return 1; }
    void setPortCommand(std::int16_t) override { ADD_FAILURE() << "no command expected"; }
};

TEST(MessagePumpRun, NegativePendingCountCountsAsEmpty) {
    InMemoryPorts ports;
    ports.openAndStartBoth();
    NegativeCountInput input;
    PlainSettings settings;
    LoggingDisplay display(ports.backend.log());
    MessagePump pump(input, ports.output, settings, display);
    pump.run();
    EXPECT_EQ(input.reads, 1);
    EXPECT_TRUE(ports.backend.sent().empty());
}

struct StuckNoteCase {
    const char* name;
    std::function<void(PlainSettings&)> changeWhileHeld;
    ShortMessage noteOff;
    ShortMessage expectedNoteOn;
    ShortMessage expectedNoteOff;
    friend void PrintTo(const StuckNoteCase& c, std::ostream* out) { *out << c.name; }
};

class StuckNotes : public MessagePumpTest, public ::testing::WithParamInterface<StuckNoteCase> {};

TEST_P(StuckNotes, TheNoteOffReachesThePitchThatIsSounding) {
    const auto& c = GetParam();
    settings.transpose = 2;
    deliver({{145, 60, 100}});
    pump.run();
    c.changeWhileHeld(settings);
    deliver({c.noteOff});
    pump.run();
    EXPECT_EQ(sentMessages(), (std::vector<ShortMessage>{c.expectedNoteOn, c.expectedNoteOff}));
}

INSTANTIATE_TEST_SUITE_P(ThroughThePump, StuckNotes,
                         ::testing::Values(StuckNoteCase{"transpose_moved",
                                                         [](PlainSettings& s) { s.transpose = 7; },
                                                         {129, 60, 0},
                                                         {145, 62, 100},
                                                         {129, 62, 0}},
                                           StuckNoteCase{"reverse_pressed",
                                                         [](PlainSettings& s) { s.reverse = true; },
                                                         {129, 60, 0},
                                                         {145, 62, 100},
                                                         {129, 62, 0}},
                                           StuckNoteCase{"velocity_zero_note_on",
                                                         [](PlainSettings& s) { s.transpose = 0; },
                                                         {145, 60, 0},
                                                         {145, 62, 100},
                                                         {145, 62, 0}},
                                           StuckNoteCase{"other_channel_is_not_held",
                                                         [](PlainSettings& s) { s.transpose = 0; },
                                                         {128, 60, 0},
                                                         {145, 62, 100},
                                                         {128, 60, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MessagePumpTest, ANoteOffIsRememberedOnlyOnce) {
    settings.transpose = 2;
    deliver({{144, 60, 100}, {128, 60, 0}});
    pump.run();
    settings.transpose = 4;
    deliver({{128, 60, 0}});  // no Note On is held now: the rules apply
    pump.run();
    EXPECT_EQ(sentMessages(),
              (std::vector<ShortMessage>{{144, 62, 100}, {128, 62, 0}, {128, 64, 0}}));
}

// The wheel's rest releases every pitch the wheel turned on since it last
// rested: those the wheel note left behind first, oldest first, as
// velocity-0 Note Ons, then the rest's own message on the wheel note of the
// moment, which the boxes show.
struct WheelStep {
    std::int16_t wheelNote;
    bool reverse;
    ShortMessage in;
};

struct WheelCase {
    const char* name;
    std::vector<WheelStep> steps;
    std::vector<ShortMessage> expected;
    friend void PrintTo(const WheelCase& c, std::ostream* out) { *out << c.name; }
};

class WheelRest : public MessagePumpTest, public ::testing::WithParamInterface<WheelCase> {};

TEST_P(WheelRest, ReleasesEveryPitchTheWheelTurnedOnSinceItLastRested) {
    for (const auto& step : GetParam().steps) {
        settings.wheel = step.wheelNote;
        settings.reverse = step.reverse;
        deliver({step.in});
        pump.run();
    }
    EXPECT_EQ(sentMessages(), GetParam().expected);
    const ShortMessage& last = GetParam().expected.back();
    EXPECT_EQ(display.status + " " + display.data1 + " " + display.data2,
              std::to_string(last.status) + " " + std::to_string(last.data1) + " " +
                  std::to_string(last.data2));
}

INSTANTIATE_TEST_SUITE_P(
    ThroughThePump, WheelRest,
    ::testing::Values(
        WheelCase{"wheel_note_moved_while_up",
                  {{64, false, {176, 1, 80}}, {70, false, {176, 1, 0}}},
                  {{144, 64, 80}, {144, 64, 0}, {144, 70, 0}}},
        WheelCase{"left_behind_oldest_first_each_once",
                  {{64, false, {176, 1, 50}},
                   {40, false, {176, 1, 60}},
                   {64, false, {176, 1, 70}},
                   {90, false, {176, 1, 80}},
                   {40, false, {176, 1, 0}}},
                  {{144, 64, 50},
                   {144, 40, 60},
                   {144, 64, 70},
                   {144, 90, 80},
                   {144, 64, 0},
                   {144, 90, 0},
                   {144, 40, 0}}},
        WheelCase{"a_rest_after_a_rest_releases_nothing_more",
                  {{64, false, {176, 1, 10}},
                   {64, false, {176, 1, 20}},
                   {64, false, {176, 1, 0}},
                   {70, false, {176, 1, 0}}},
                  {{144, 64, 10}, {144, 64, 20}, {144, 64, 0}, {144, 70, 0}}},
        WheelCase{"reversed_controller_1_is_not_the_wheel",
                  {{64, true, {176, 126, 90}}, {70, true, {176, 1, 0}}, {70, true, {176, 126, 0}}},
                  {{144, 64, 90}, {176, 126, 0}, {144, 64, 0}, {144, 70, 0}}},
        WheelCase{"reverse_pressed_while_up_the_wheel_still_releases_its_pitch",
                  {{64, false, {176, 1, 90}}, {70, true, {176, 1, 0}}},
                  {{144, 64, 90}, {144, 64, 0}, {176, 126, 0}}},
        WheelCase{"each_controller_releases_what_it_turned_on",
                  {{64, false, {176, 1, 90}},
                   {70, true, {176, 126, 40}},
                   {72, true, {176, 126, 0}},
                   {72, false, {176, 1, 0}}},
                  {{144, 64, 90},
                   {144, 70, 40},
                   {144, 70, 0},
                   {144, 72, 0},
                   {144, 64, 0},
                   {144, 72, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Keys first, then the wheel's pitches oldest first; the wheel's next rest
// then ends only the wheel note.
TEST_F(MessagePumpTest, ALostSourcesWheelPitchesAreReleasedWithItsKeys) {
    deliver({{176, 1, 90}});
    pump.run();
    settings.wheel = 70;
    deliver({{145, 60, 100}, {176, 1, 50}});
    pump.run();
    pump.releaseHeldNotes();
    deliver({{176, 1, 0}});
    pump.run();
    EXPECT_EQ(sentMessages(), (std::vector<ShortMessage>{{144, 64, 90},
                                                         {145, 60, 100},
                                                         {144, 70, 50},
                                                         {129, 60, 0},
                                                         {128, 64, 0},
                                                         {128, 70, 0},
                                                         {144, 70, 0}}));
}

}  // namespace
}  // namespace keyflip
