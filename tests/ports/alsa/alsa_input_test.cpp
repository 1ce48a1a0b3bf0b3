// What reaches "in", and what the sequencer says about the devices, share
// one input pool in the kernel; a flood that overruns it takes both.
#include "sequencer_programs.h"

#include "alsa/alsa_backend.h"
#include "alsa/alsa_client.h"
#include "alsa/alsa_input.h"
#include "backend_probes.h"
#include "incoming_queue.h"
#include "thread_crossing.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>
#include <variant>

namespace keyflip {
namespace {

using namespace std::chrono_literals;
using alsatest::EventSender;
using checks::LossRecorder;
using checks::pumpUntil;

// The calling thread runs ahead of every ordinary thread on its CPU while
// this lives, as a MIDI program's real-time thread does. The run limit the
// reader's priority set is lifted meanwhile: a flood that outlasts it would
// get this thread lowered by SIGXCPU, and the reader would keep up after all.
class AheadOfTheReader {
public:
    AheadOfTheReader() {
        getrlimit(RLIMIT_RTTIME, &runLimit_);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        sched_param priority{};
        priority.sched_priority = 20;
        ok_ = setrlimit(RLIMIT_RTTIME, &unlimited) == 0 &&
              pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
    }
    ~AheadOfTheReader() {
        const sched_param normal{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        setrlimit(RLIMIT_RTTIME, &runLimit_);
    }
    AheadOfTheReader(const AheadOfTheReader&) = delete;
    AheadOfTheReader& operator=(const AheadOfTheReader&) = delete;
    bool ok() const { return ok_; }

private:
    rlimit runLimit_{RLIM_INFINITY, RLIM_INFINITY};
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
        ASSERT_TRUE(ahead.ok()) << "real-time scheduling without a run limit is refused here";
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

// An event larger than the reader's read buffer (a long SysEx) can never be
// read: every read says "try again". The reader gets past it, counts it as
// lost and reads what comes next.
TEST_F(AlsaInputTest, AnEventLargerThanTheReadBufferIsPassedAndTheReaderReadsOn) {
    auto opened = alsa::openClient();
    auto* client = std::get_if<alsa::OpenClient>(&opened);
    ASSERT_NE(client, nullptr);
    snd_seq_t* sequencer = client->sequencer.get();
    ASSERT_EQ(snd_seq_set_input_buffer_size(sequencer, 8 * sizeof(snd_seq_event_t)), 0);
    EventSender keyboard("sysex-keyboard");
    ASSERT_TRUE(keyboard.ok());
    ASSERT_EQ(snd_seq_connect_from(sequencer, client->ports.in, keyboard.client(), keyboard.port()),
              0);
    ThreadCrossing crossing("the reader cannot wake the window");
    IncomingQueue queue;
    checks::QueueDrain drain(queue);
    alsa::AlsaReader reader(sequencer, client->ports, crossing);
    reader.setQueue(&queue);
    reader.setDelivering(true);
    reader.start();

    ASSERT_TRUE(keyboard.sendSysEx(1024));
    EXPECT_TRUE(pumpUntil([&] { return drain.dropped > 0; }, 5000ms))
        << "the SysEx was neither read nor passed";
    ASSERT_TRUE(keyboard.sendController(SND_SEQ_EVENT_CONTROLLER, 7, 100));
    EXPECT_TRUE(pumpUntil([&] { return !drain.messages.empty(); }, 5000ms))
        << "nothing was read after the SysEx";
    EXPECT_EQ(drain.messages, (std::vector<WireMessage>{{{0xB0, 7, 100}, 3}}));
    EXPECT_FALSE(reader.failed());
    EXPECT_TRUE(reader.stop());
    reader.setQueue(nullptr);
}

}  // namespace
}  // namespace keyflip
