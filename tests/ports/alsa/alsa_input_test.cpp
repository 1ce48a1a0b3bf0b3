// What reaches "in", and what the sequencer says about the devices, share
// one input pool in the kernel; a flood that overruns it takes both.
#include "sequencer_programs.h"

#include "alsa/alsa_backend.h"
#include "backend_probes.h"
#include "incoming_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <memory>
#include <thread>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using alsatest::EventSender;
using checks::LossRecorder;
using checks::pumpUntil;

// The calling thread runs ahead of every ordinary thread on its CPU while
// this lives, as a MIDI program's real-time thread does.
class AheadOfTheReader {
public:
    AheadOfTheReader() {
        sched_param priority{};
        priority.sched_priority = 20;
        ok_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
    }
    ~AheadOfTheReader() {
        const sched_param normal{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    }
    AheadOfTheReader(const AheadOfTheReader&) = delete;
    AheadOfTheReader& operator=(const AheadOfTheReader&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

class AlsaInputTest : public alsatest::SequencerTest {};

// A keyboard program floods Keyflip's input and quits before Keyflip's reader
// gets the CPU (it runs ahead of it on the one CPU of the test VM). The
// kernel clears the overrun input whole, the announcement of the keyboard's
// leaving with it, yet the leaving is noticed.
TEST_F(AlsaInputTest, ASourceThatLeavesDuringAnOverrunIsNoticed) {
    if (std::thread::hardware_concurrency() > 1) {
        GTEST_SKIP() << "the reader would read on another CPU (run inside tests/alsa-vm/run-in-vm)";
    }
    auto keyboard = std::make_unique<EventSender>("flooding-keyboard");
    ASSERT_TRUE(keyboard->ok());
    const auto backend = createAlsaBackend();
    ASSERT_NE(backend, nullptr);
    LossRecorder recorder(*backend);
    IncomingQueue queue;
    checks::QueueDrain drain(queue);
    backend->setInputQueue(&queue);
    ASSERT_EQ(backend->openInput("flooding-keyboard:out"), std::nullopt);
    {
        const AheadOfTheReader ahead;
        ASSERT_TRUE(ahead.ok()) << "real-time scheduling is refused here";
        for (int value = 0; value < 5000; ++value) {
            keyboard->sendController(SND_SEQ_EVENT_CONTROLLER, 1, value % 128);
        }
        keyboard.reset();
    }
    EXPECT_TRUE(pumpUntil([&] { return !recorder.departures.empty(); }, 5000ms))
        << "the keyboard's leaving went unnoticed";
    EXPECT_EQ(recorder.departures,
              (std::vector<checks::Departure>{{PortSide::Input, "flooding-keyboard:out"}}));
    EXPECT_GT(drain.dropped, 0u) << "the input never overran";
    backend->closeInput();
    backend->setInputQueue(nullptr);
}

}  // namespace
}  // namespace keyflip
