// The names RtMidi's ports are listed by: what RtMidi appends to keep them
// apart goes where it only changes from run to run, and stays for twins.
#include "rtmidi/rtmidi_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace keyflip {
namespace {

struct NamingCase {
    const char* name;
    RtMidiNaming naming;
    std::vector<std::string> given;
    std::vector<std::string> shown;
};

void PrintTo(const NamingCase& value, std::ostream* out) {
    *out << value.name;
}

class ShownPortNamesTest : public ::testing::TestWithParam<NamingCase> {};

TEST_P(ShownPortNamesTest, ListsEachPortUnderTheNameThatOutlivesARestart) {
    EXPECT_EQ(shownPortNames(GetParam().naming, GetParam().given), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Systems, ShownPortNamesTest,
    ::testing::Values(
        NamingCase{"alsaAddressesGo",
                   RtMidiNaming::AddressAppended,
                   {"Midi Through:Midi Through Port-0 14:0", "keys:out 128:0"},
                   {"Midi Through:Midi Through Port-0", "keys:out"}},
        NamingCase{"alsaTwinsKeepTheirAddresses",
                   RtMidiNaming::AddressAppended,
                   {"USB Keyboard:MIDI 1 24:0", "USB Keyboard:MIDI 1 28:0", "synth:in 130:1"},
                   {"USB Keyboard:MIDI 1 24:0", "USB Keyboard:MIDI 1 28:0", "synth:in"}},
        NamingCase{"alsaOnlyAnAddressGoes",
                   RtMidiNaming::AddressAppended,
                   {"Band 2:out 1 129:0", "odd:name 1:x", "plain", " 1:2"},
                   {"Band 2:out 1", "odd:name 1:x", "plain", " 1:2"}},
        NamingCase{"windowsPlacesGo",
                   RtMidiNaming::IndexAppended,
                   {"USB MIDI 2 0", "Microsoft GS Wavetable Synth 1"},
                   {"USB MIDI 2", "Microsoft GS Wavetable Synth"}},
        NamingCase{"windowsTwinsKeepTheirPlaces",
                   RtMidiNaming::IndexAppended,
                   {"USB MIDI 0", "USB MIDI 1", "Other 7"},
                   {"USB MIDI 0", "USB MIDI 1", "Other 7"}},
        NamingCase{"jackAndCoreMidiAsGiven",
                   RtMidiNaming::AsGiven,
                   {"keys:out 128:0", "synth:in"},
                   {"keys:out 128:0", "synth:in"}},
        NamingCase{"aPortGoneWhileListedKeepsItsPlace",
                   RtMidiNaming::IndexAppended,
                   {"", "Synth 1"},
                   {"", "Synth"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OwnPortNameTest, KnowsTheProgramsOwnPortsOnEverySystem) {
    for (const char* own : {"Keyflip:in", "Keyflip:out", "Keyflip-01:in", "Keyflip-12:out",
                            "Keyflip in", "Keyflip out"}) {
        EXPECT_TRUE(isOwnPortName(own)) << own;
    }
    for (const char* other : {"Keyflipper:out", "Keyflip-x:in", "Keyflip-:in", "Keyflip",
                              "Keyflip input", "keyflip:in", "My Keyflip:in"}) {
        EXPECT_FALSE(isOwnPortName(other)) << other;
    }
}

}  // namespace
}  // namespace keyflip
