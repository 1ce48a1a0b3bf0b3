#pragma once

// Other programs on the ALSA sequencer, as the tests of the ALSA backend play
// them: a synthesizer that reads only when the test says, a sender of
// sequencer events, and the shell tools (aconnect) run against them.

#include "wire_format.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace keyflip::alsatest {

// What a shell command printed, and whether it succeeded.
struct CommandResult {
    std::string output;
    bool succeeded = false;
};

CommandResult run(const std::string& command);

// A case that needs the sequencer and aconnect: skipped, loudly, where they
// are missing, and failed where KEYFLIP_REQUIRE_ALSA says they are here.
class SequencerTest : public ::testing::Test {
protected:
    void SetUp() override;
};

// Another program's sequencer client with one input port, which reads only
// when the test says, as a synthesizer's reader does: everything there is.
// A program may take only some kinds of event (a client event filter, as
// some synthesizers and bridges set): accepted names them, empty takes all.
class PeerProgram {
public:
    PeerProgram(const char* name, int inputPool,
                std::initializer_list<snd_seq_event_type_t> accepted = {});
    bool ok() const { return ok_; }
    int client() const { return snd_seq_client_id(sequencer_.get()); }

    // The sequencer first says when the input overflowed (it clears what had
    // not been read); notes and controllers are kept as bytes.
    void readAll();
    // Waits, at most limit, until something is there to read.
    void waitForInput(std::chrono::milliseconds limit);

    std::vector<WireMessage> received;
    int overflows = 0;

private:
    std::unique_ptr<snd_seq_t, decltype(&snd_seq_close)> sequencer_{nullptr, &snd_seq_close};
    bool ok_ = false;
};

// Another program's sequencer client with one output port, sending
// sequencer events as the program makes them, not as bytes.
class EventSender {
public:
    explicit EventSender(const char* name);
    bool ok() const { return ok_; }
    int client() const { return snd_seq_client_id(sequencer_.get()); }
    // The list entry of this port while another port has its name.
    std::string entryWithAddress(const std::string& name) const;

    int port() const { return port_; }
    bool sendController(snd_seq_event_type_t type, unsigned param, int value);
    // One SysEx of size bytes, F0 and F7 included.
    bool sendSysEx(std::size_t size);

private:
    std::unique_ptr<snd_seq_t, decltype(&snd_seq_close)> sequencer_{nullptr, &snd_seq_close};
    int port_ = -1;
    bool ok_ = false;
};

// A thousand controller messages, each one different.
std::vector<WireMessage> distinctMessages();

// Runs the window's loop for a while, reading the peers given.
void runFor(std::chrono::milliseconds time, std::initializer_list<PeerProgram*> reading);

// Reads the peers while the window's loop runs, until the last message
// reached every one of them or the limit has passed.
void readUntilLastArrives(std::initializer_list<PeerProgram*> peers, const WireMessage& last);

}  // namespace keyflip::alsatest
