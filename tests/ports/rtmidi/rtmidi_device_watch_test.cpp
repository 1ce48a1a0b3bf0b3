// The watch that notices devices coming and going where RtMidi tells of
// none, on lists the test writes.
#include "rtmidi/rtmidi_device_watch.h"

#include "backend_probes.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using Lists = RtMidiDeviceWatch::Lists;

class RtMidiDeviceWatchTest : public ::testing::Test {
protected:
    RtMidiDeviceWatch watch{{[this] {
                                 ++reads;
                                 return lists;
                             },
                             [this](PortSide side, const std::string& name) {
                                 departures.emplace_back(side, name);
                                 if (onLeft) {
                                     onLeft(side);
                                 }
                             },
                             [this] { ++changes; }},
                            nullptr};
    Lists lists{{"keys:out 128:0", "pads:out 129:0"}, {"synth:in 130:0"}};
    std::vector<std::pair<PortSide, std::string>> departures;
    std::function<void(PortSide)> onLeft;
    int changes = 0;
    int reads = 0;
};

TEST_F(RtMidiDeviceWatchTest, WatchesOnlyWhileAPortHasADeviceToLose) {
    EXPECT_FALSE(watch.watching());
    watch.connected(PortSide::Input, "", "");
    EXPECT_FALSE(watch.watching()) << "the port alone has no device to lose";
    EXPECT_EQ(reads, 0);
    watch.connected(PortSide::Output, "synth:in", "synth:in 130:0");
    EXPECT_TRUE(watch.watching());
    watch.closed(PortSide::Output);
    EXPECT_FALSE(watch.watching());
}

// One report a departure, by the name the port was opened by, when the
// device leaves or is renamed; a list that changes otherwise is a change.
TEST_F(RtMidiDeviceWatchTest, ReportsADeviceThatLeavesOnceByItsName) {
    watch.connected(PortSide::Input, "keys:out", "keys:out 128:0");
    watch.connected(PortSide::Output, "synth:in", "synth:in 130:0");
    watch.look();
    EXPECT_TRUE(departures.empty());
    EXPECT_EQ(changes, 0);

    lists.sources.push_back("other:out 131:0");
    watch.look();
    EXPECT_TRUE(departures.empty());
    EXPECT_EQ(changes, 1);

    lists.sources.erase(lists.sources.begin());
    lists.destinations = {"synth:renamed 130:0"};
    watch.look();
    watch.look();
    const std::vector<std::pair<PortSide, std::string>> expected{{PortSide::Input, "keys:out"},
                                                                 {PortSide::Output, "synth:in"}};
    EXPECT_EQ(departures, expected);
    EXPECT_EQ(changes, 2);
}

// Back under its name at another address, as an ALSA program that started
// again is: that is a change, for the port to connect again; the watch goes
// on until it has.
TEST_F(RtMidiDeviceWatchTest, ADeviceThatLeftIsWatchedForUntilThePortConnectsAgain) {
    watch.connected(PortSide::Input, "keys:out", "keys:out 128:0");
    onLeft = [this](PortSide side) { watch.closed(side); };
    lists.sources = {"pads:out 129:0"};
    watch.look();
    ASSERT_EQ(departures.size(), 1u);
    EXPECT_TRUE(watch.watching()) << "the lost device is not watched for";

    lists.sources.push_back("keys:out 132:0");
    changes = 0;
    watch.look();
    EXPECT_EQ(changes, 1);
    watch.connected(PortSide::Input, "keys:out", "keys:out 132:0");
    watch.look();
    EXPECT_EQ(departures.size(), 1u);
    watch.closed(PortSide::Input);
    EXPECT_FALSE(watch.watching()) << "closed by the program, nothing is awaited";
}

TEST_F(RtMidiDeviceWatchTest, ADeviceChosenWhileAwayIsWatchedFor) {
    watch.awaited(PortSide::Output);
    EXPECT_TRUE(watch.watching());
    lists.destinations.push_back("later:in 140:0");
    watch.look();
    EXPECT_EQ(changes, 1);
}

// Both leave at once and the first report closes its port: the second is
// still reported.
TEST_F(RtMidiDeviceWatchTest, BothDevicesLeavingAtOnceAreBothReported) {
    watch.connected(PortSide::Input, "keys:out", "keys:out 128:0");
    watch.connected(PortSide::Output, "synth:in", "synth:in 130:0");
    onLeft = [this](PortSide side) { watch.closed(side); };
    lists = {};
    watch.look();
    EXPECT_EQ(departures.size(), 2u);
    EXPECT_TRUE(watch.watching());
}

TEST_F(RtMidiDeviceWatchTest, TheTimerLooksByItself) {
    watch.connected(PortSide::Input, "keys:out", "keys:out 128:0");
    lists.sources.clear();
    EXPECT_TRUE(checks::pumpUntil([&] { return !departures.empty(); }, 10 * kDeviceWatchInterval));
}

}  // namespace
}  // namespace keyflip
