#include "virmidi_device.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace keyflip::alsatest {

using namespace std::chrono_literals;

std::vector<VirmidiDevice> findVirmidiDevices() {
    std::vector<VirmidiDevice> devices;
    snd_seq_t* sequencer = nullptr;
    if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
        return devices;
    }
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(sequencer, client) >= 0) {
        const std::string name = snd_seq_client_info_get_name(client);
        int card = -1;
        int device = -1;
        if (std::sscanf(name.c_str(), "Virtual Raw MIDI %d-%d", &card, &device) != 2) {
            continue;
        }
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        if (snd_seq_query_next_port(sequencer, port) >= 0) {
            devices.push_back({name + ':' + snd_seq_port_info_get_name(port),
                               "hw:" + std::to_string(card) + ',' + std::to_string(device)});
        }
    }
    snd_seq_close(sequencer);
    return devices;
}

RawMidi::RawMidi(const std::string& name) {
    if (snd_rawmidi_open(&in_, &out_, name.c_str(), SND_RAWMIDI_NONBLOCK) < 0) {
        in_ = nullptr;
        out_ = nullptr;
        return;
    }
    // A device keeps nothing for its raw side until that side is first read.
    std::vector<std::uint8_t> nothingYet;
    readInto(nothingYet);
}

RawMidi::~RawMidi() {
    if (in_ != nullptr) {
        snd_rawmidi_close(in_);
    }
    if (out_ != nullptr) {
        snd_rawmidi_close(out_);
    }
}

bool RawMidi::write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
        const ssize_t written = snd_rawmidi_write(out_, bytes.data() + done,
                                                  std::min<std::size_t>(bytes.size() - done, 256));
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written != -EAGAIN) {
            return false;
        } else {
            std::this_thread::sleep_for(200us);
        }
    }
    return done == bytes.size() && snd_rawmidi_drain(out_) >= 0;
}

void RawMidi::readInto(std::vector<std::uint8_t>& bytes) {
    std::array<std::uint8_t, 4096> buffer{};
    ssize_t count = 0;
    while ((count = snd_rawmidi_read(in_, buffer.data(), buffer.size())) > 0) {
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + count);
    }
}

std::vector<WireMessage> parseStream(const std::vector<std::uint8_t>& bytes) {
    std::vector<WireMessage> messages;
    WireMessage pending;
    std::size_t wanted = 0;
    for (const std::uint8_t byte : bytes) {
        if (byte >= 0xF8) {
            if (shortMessageLength(byte) == 1) {
                messages.push_back(WireMessage{{byte, 0, 0}, 1});
            }
            continue;
        }
        if (byte >= 0x80) {
            wanted = shortMessageLength(byte);
            pending = WireMessage{{byte, 0, 0}, 1};
            if (wanted == 1) {
                messages.push_back(pending);
                wanted = 0;
            }
            continue;
        }
        if (wanted == 0) {
            continue;
        }
        pending.bytes[pending.size++] = byte;
        if (pending.size == wanted) {
            messages.push_back(pending);
            // Running status: a channel message's status stays for the next data.
            pending.size = pending.bytes[0] < 0xF0 ? 1 : 0;
            wanted = pending.bytes[0] < 0xF0 ? wanted : 0;
        }
    }
    return messages;
}

}  // namespace keyflip::alsatest
