#include "sequencer_programs.h"

#include <poll.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace keyflip::alsatest {

using namespace std::chrono_literals;

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        result.output += buffer.data();
    }
    result.succeeded = ::pclose(pipe) == 0;
    return result;
}

void SequencerTest::SetUp() {
    if (!run("aconnect -l").succeeded) {
        ASSERT_EQ(std::getenv("KEYFLIP_REQUIRE_ALSA"), nullptr)
            << "the sequencer and aconnect are required here";
        std::fprintf(stderr, "\n*** no ALSA sequencer or aconnect: SKIPPED, not passed ***\n\n");
        GTEST_SKIP() << "no ALSA sequencer or aconnect (run inside tests/alsa-vm/run-in-vm)";
    }
}

PeerProgram::PeerProgram(const char* name, int inputPool,
                         std::initializer_list<snd_seq_event_type_t> accepted) {
    snd_seq_t* raw = nullptr;
    if (snd_seq_open(&raw, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) != 0) {
        return;
    }
    sequencer_.reset(raw);
    for (const snd_seq_event_type_t type : accepted) {
        snd_seq_set_client_event_filter(raw, type);
    }
    ok_ = snd_seq_set_client_name(raw, name) == 0 &&
          snd_seq_set_client_pool_input(raw, inputPool) == 0 &&
          snd_seq_create_simple_port(
              raw, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
              SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION) >= 0;
}

void PeerProgram::readAll() {
    for (;;) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(sequencer_.get(), &event);
        if (result == -ENOSPC) {
            ++overflows;
            continue;
        }
        if (result < 0 || event == nullptr) {
            return;
        }
        switch (event->type) {
            case SND_SEQ_EVENT_CONTROLLER:
                received.push_back(
                    WireMessage{{static_cast<std::uint8_t>(0xB0 | event->data.control.channel),
                                 static_cast<std::uint8_t>(event->data.control.param),
                                 static_cast<std::uint8_t>(event->data.control.value)},
                                3});
                break;
            case SND_SEQ_EVENT_NOTEON:
            case SND_SEQ_EVENT_NOTEOFF: {
                const auto status = event->type == SND_SEQ_EVENT_NOTEON ? 0x90 : 0x80;
                received.push_back(
                    WireMessage{{static_cast<std::uint8_t>(status | event->data.note.channel),
                                 event->data.note.note, event->data.note.velocity},
                                3});
                break;
            }
            default:
                break;
        }
    }
}

void PeerProgram::waitForInput(std::chrono::milliseconds limit) {
    pollfd descriptor{};
    if (snd_seq_poll_descriptors(sequencer_.get(), &descriptor, 1, POLLIN) == 1) {
        ::poll(&descriptor, 1, static_cast<int>(limit.count()));
    }
}

EventSender::EventSender(const char* name) {
    snd_seq_t* raw = nullptr;
    if (snd_seq_open(&raw, "default", SND_SEQ_OPEN_OUTPUT, 0) != 0) {
        return;
    }
    sequencer_.reset(raw);
    port_ =
        snd_seq_create_simple_port(raw, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    ok_ = snd_seq_set_client_name(raw, name) == 0 && port_ >= 0;
}

std::string EventSender::entryWithAddress(const std::string& name) const {
    return name + " [" + std::to_string(snd_seq_client_id(sequencer_.get())) + ":" +
           std::to_string(port_) + "]";
}

bool EventSender::sendController(snd_seq_event_type_t type, unsigned param, int value) {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = type;
    event.data.control.channel = 0;
    event.data.control.param = param;
    event.data.control.value = value;
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(port_));
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    return snd_seq_event_output_direct(sequencer_.get(), &event) >= 0;
}

bool EventSender::sendSysEx(std::size_t size) {
    std::vector<unsigned char> bytes(size, 0x01);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_sysex(&event, static_cast<unsigned>(bytes.size()), bytes.data());
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(port_));
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    return snd_seq_event_output_direct(sequencer_.get(), &event) >= 0;
}

std::vector<WireMessage> distinctMessages() {
    std::vector<WireMessage> messages;
    for (int index = 0; index < 1000; ++index) {
        messages.push_back(WireMessage{
            {static_cast<std::uint8_t>(0xB0 | (index % 16)), static_cast<std::uint8_t>(index / 128),
             static_cast<std::uint8_t>(index % 128)},
            3});
    }
    return messages;
}

void runFor(std::chrono::milliseconds time, std::initializer_list<PeerProgram*> reading) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (PeerProgram* peer : reading) {
            peer->readAll();
        }
        std::this_thread::sleep_for(1ms);
    }
}

void readUntilLastArrives(std::initializer_list<PeerProgram*> peers, const WireMessage& last) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const auto arrived = [&] {
        return std::ranges::all_of(peers, [&](const PeerProgram* peer) {
            return !peer->received.empty() && peer->received.back() == last;
        });
    };
    while (!arrived() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (PeerProgram* peer : peers) {
            peer->readAll();
        }
        std::this_thread::sleep_for(1ms);
    }
}

}  // namespace keyflip::alsatest
