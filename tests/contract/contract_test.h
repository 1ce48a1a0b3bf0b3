#pragma once

#include "midi_system_kit.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace keyflip::contract {

// One case on one MIDI system: the kit is started and the backend created
// fresh for every case. Without the system here the case is skipped, loudly.
class MidiSystemContract : public ::testing::TestWithParam<KitFactory> {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the case until a run of it is not spoiled by xruns
    // (checks::runUntilClean), each run on a backend of its own.
    void runCase(const std::function<void()>& body);

    MidiSystemKit& kit() { return *kit_; }
    MidiBackend& backend() { return *backend_; }
    // Closes the backend and opens a new one on the same system; false when
    // none opens.
    bool reopenBackend();

private:
    std::unique_ptr<MidiSystemKit> kit_;
    std::unique_ptr<MidiBackend> backend_;
};

// The kits of the MIDI system a contract test program runs on; each program
// links the one file that names them.
std::vector<KitFactory> systemKits();

inline std::string kitName(const ::testing::TestParamInfo<KitFactory>& info) {
    return info.param.name;
}

inline void PrintTo(const KitFactory& kit, std::ostream* out) {
    *out << kit.name;
}

}  // namespace keyflip::contract
