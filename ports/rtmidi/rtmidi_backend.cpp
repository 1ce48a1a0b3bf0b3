// A MIDI system through RtMidi: CoreMIDI on macOS, Windows multimedia on
// Windows, and on Linux RtMidi's ALSA and JACK APIs, where the portable
// build and the tests run it.
//
// Threads. RtMidi reads the input on a thread of its own (ALSA, Windows
// multimedia), on CoreMIDI's, or in JACK's process callback, and calls
// onIncoming there: it copies the bytes into the input port's queue and wakes
// the UI thread through the queue's crossing, and nothing else. RtMidi's error
// reports may come from there too, into a report behind a lock. Everything
// else runs on the UI thread: the lists, opening and closing, sending, and
// the watch that notices devices coming and going, of which RtMidi tells
// nothing. Sending hands each message to the system at once (ALSA, CoreMIDI,
// Windows multimedia). RtMidi's JACK output writes into a ring its process
// callback empties each cycle; closing it waits, up to a second, for the
// next cycle before the port goes, so what was sent last leaves first.
#include "rtmidi_backend.h"

#include "incoming_queue.h"
#include "port_texts.h"
#include "rtmidi_device_watch.h"
#include "rtmidi_names.h"
#include "rtmidi_report.h"

#include <RtMidi.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <span>
#include <string>
#include <vector>

#if defined(__linux__)
#include <unistd.h>
#endif

namespace keyflip {

namespace {

constexpr const char* kClientName = "Keyflip";
constexpr unsigned int kRtMidiQueueLimit = 1024;

RtMidi::Api apiOf(RtMidiSystem system) {
    if (system == RtMidiSystem::Jack) {
        return RtMidi::UNIX_JACK;
    }
#if defined(__APPLE__)
    return RtMidi::MACOSX_CORE;
#elif defined(_WIN32)
    return RtMidi::WINDOWS_MM;
#else
    return RtMidi::LINUX_ALSA;
#endif
}

RtMidiNaming namingOf(RtMidi::Api api) {
    switch (api) {
        case RtMidi::LINUX_ALSA:
            return RtMidiNaming::AddressAppended;
        case RtMidi::WINDOWS_MM:
            return RtMidiNaming::IndexAppended;
        default:
            return RtMidiNaming::AsGiven;
    }
}

// The program's own ports. CoreMIDI lists a virtual port by its name alone,
// so there it carries the program's name.
std::string ownPortName(RtMidi::Api api, PortSide side) {
    const char* const name = side == PortSide::Input ? "in" : "out";
    return api == RtMidi::MACOSX_CORE ? std::string(kClientName) + ' ' + name : name;
}

// Other programs' ports, as RtMidi gives their names and as the lists show
// them, with RtMidi's index of each.
struct ListedPort {
    unsigned int index;
    std::string given;
    std::string shown;
};

template <typename Port>
std::vector<ListedPort> listedPorts(Port& port, RtMidi::Api api) {
    std::vector<std::string> given;
    const unsigned int count = port.getPortCount();
    for (unsigned int index = 0; index < count; ++index) {
        given.push_back(port.getPortName(index));
    }
    const std::vector<std::string> shown = shownPortNames(namingOf(api), given);
    std::vector<ListedPort> ports;
    for (unsigned int index = 0; index < count; ++index) {
        // A port that left while the list was read has no name.
        if (!given[index].empty() && !isOwnPortName(shown[index])) {
            ports.push_back({index, given[index], shown[index]});
        }
    }
    return ports;
}

template <typename Port>
std::optional<ListedPort> findPort(Port& port, RtMidi::Api api, const std::string& shown) {
    const auto ports = listedPorts(port, api);
    const auto found =
        std::ranges::find_if(ports, [&](const ListedPort& p) { return p.shown == shown; });
    return found != ports.end() ? std::optional(*found) : std::nullopt;
}

template <typename Port>
std::vector<std::string> shownNames(Port& port, RtMidi::Api api) {
    std::vector<std::string> names;
    for (ListedPort& listed : listedPorts(port, api)) {
        names.push_back(std::move(listed.shown));
    }
    return names;
}

template <typename Port>
std::vector<std::string> givenNames(Port& port, RtMidi::Api api) {
    std::vector<std::string> names;
    for (ListedPort& listed : listedPorts(port, api)) {
        names.push_back(std::move(listed.given));
    }
    return names;
}

class RtMidiBackend : public MidiBackend {
public:
    RtMidiBackend(RtMidi::Api api, std::unique_ptr<RtMidiIn> inputLister,
                  std::unique_ptr<RtMidiOut> outputLister)
        : api_(api),
          inputLister_(std::move(inputLister)),
          outputLister_(std::move(outputLister)),
          watch_({[this] {
                      return RtMidiDeviceWatch::Lists{givenNames(*inputLister_, api_),
                                                      givenNames(*outputLister_, api_)};
                  },
                  [this](PortSide side, const std::string& name) { emit peerLeft(side, name); },
                  [this] { emit peersChanged(); }},
                 this) {
        inputLister_->setErrorCallback(&RtMidiReport::record, &listerReport_);
        outputLister_->setErrorCallback(&RtMidiReport::record, &listerReport_);
    }

    ~RtMidiBackend() override {
        closeInput();
        closeOutput();
    }

    // Named as the other backends name them, not as RtMidi does ("Jack").
    QString systemName() const override {
        switch (api_) {
            case RtMidi::MACOSX_CORE:
                return QStringLiteral("CoreMIDI");
            case RtMidi::WINDOWS_MM:
                return QStringLiteral("Windows multimedia");
            case RtMidi::LINUX_ALSA:
                return QStringLiteral("ALSA sequencer");
            case RtMidi::UNIX_JACK:
                return QStringLiteral("JACK");
            default:
                return QString::fromStdString(RtMidi::getApiDisplayName(api_));
        }
    }

    // Only JACK can be away while RtMidi opens: its client connects to a
    // server when it is first asked for ports, and RtMidi says when none
    // answers.
    std::optional<QString> unreachableReason() override {
        if (api_ != RtMidi::UNIX_JACK) {
            return std::nullopt;
        }
        listerReport_.clear();
        inputLister_->getPortCount();
        if (listerReport_.take()) {
            return texts::rtMidiUnreachable(systemName());
        }
        return std::nullopt;
    }

    std::vector<std::string> sourceNames() override { return shownNames(*inputLister_, api_); }
    std::vector<std::string> destinationNames() override {
        return shownNames(*outputLister_, api_);
    }

    std::optional<PortFault> openInput(const std::string& source) override {
        closeInput();
        try {
            auto input = std::make_unique<RtMidiIn>(api_, kClientName, kRtMidiQueueLimit);
            input->setErrorCallback(&RtMidiReport::record, &inputReport_);
            inputReport_.clear();
            // System exclusive is not a short message; clock and sensing are.
            input->ignoreTypes(true, false, false);
            input->setCallback(&RtMidiBackend::onIncoming, this);
            std::string given;
            if (source.empty()) {
                input->openVirtualPort(ownPortName(api_, PortSide::Input));
            } else {
                const auto port = findPort(*input, api_, source);
                if (!port) {
                    return absentFault(PortSide::Input, source);
                }
                given = port->given;
                input->openPort(port->index, "in");
            }
            if (auto error = inputReport_.take()) {
                return openFault(PortSide::Input, source, *error);
            }
            input_ = std::move(input);
            watch_.connected(PortSide::Input, source, given);
        } catch (const RtMidiError& error) {
            return openFault(PortSide::Input, source, {error.getType(), error.getMessage()});
        }
        return std::nullopt;
    }

    void closeInput() override {
        input_.reset();  // joins RtMidi's thread, so no callback outlives this
        watch_.closed(PortSide::Input);
    }

    void setInputQueue(IncomingQueue* queue) override {
        inputQueue_.store(queue, std::memory_order_release);
    }

    std::optional<PortFault> openOutput(const std::string& destination) override {
        closeOutput();
        try {
            auto output = std::make_unique<RtMidiOut>(api_, kClientName);
            output->setErrorCallback(&RtMidiReport::record, &outputReport_);
            outputReport_.clear();
            std::string given;
            if (destination.empty()) {
                output->openVirtualPort(ownPortName(api_, PortSide::Output));
            } else {
                const auto port = findPort(*output, api_, destination);
                if (!port) {
                    return absentFault(PortSide::Output, destination);
                }
                given = port->given;
                output->openPort(port->index, "out");
            }
            if (auto error = outputReport_.take()) {
                return openFault(PortSide::Output, destination, *error);
            }
            output_ = std::move(output);
            watch_.connected(PortSide::Output, destination, given);
        } catch (const RtMidiError& error) {
            return openFault(PortSide::Output, destination, {error.getType(), error.getMessage()});
        }
        return std::nullopt;
    }

    void closeOutput() override {
        output_.reset();
        watch_.closed(PortSide::Output);
    }

    // One port, one connection: a message reaches it or not.
    Delivery dispatch(const WireMessage& message) override {
        if (!output_) {
            return Delivery::Refused;
        }
        outputReport_.clear();
        output_->sendMessage(message.bytes.data(), message.size);
        return outputReport_.take() ? Delivery::Refused : Delivery::Everywhere;
    }

    // Nothing sent waits in the program; see the top of this file.
    void flushOutput(std::chrono::milliseconds) override {}

private:
    // Runs on RtMidi's thread: no Qt, no locks, no allocation.
    static void onIncoming(double, std::vector<unsigned char>* bytes, void* self) {
        auto* backend = static_cast<RtMidiBackend*>(self);
        IncomingQueue* queue = backend->inputQueue_.load(std::memory_order_acquire);
        if (queue && bytes) {
            queue->pushBytes(std::span<const std::uint8_t>(bytes->data(), bytes->size()));
            queue->wake();
        }
    }

    // A name not in the list: a port of the other direction cannot connect;
    // any other device is away, and watched for.
    PortFault absentFault(PortSide side, const std::string& name) {
        const auto& otherNames = side == PortSide::Input ? destinationNames() : sourceNames();
        if (std::ranges::find(otherNames, name) != otherNames.end()) {
            return {PortErrorCode::DeviceOpenFailed,
                    texts::deviceNotConnected(side, name, texts::sendsNoMidi(side))};
        }
        watch_.awaited(side);
        return {PortErrorCode::DeviceNotFound, texts::deviceNotThere(side, name)};
    }

    PortFault openFault(PortSide side, const std::string& name,
                        const RtMidiReport::Error& error) const {
        const bool own = name.empty();
        const std::string shownName =
            own ? (side == PortSide::Input ? texts::kOwnInputName : texts::kOwnOutputName) : name;
        return {PortErrorCode::DeviceOpenFailed,
                texts::rtMidiOpenFailed(side, shownName, failureOf(error.type, own), error.text)};
    }

    const RtMidi::Api api_;
    std::unique_ptr<RtMidiIn> inputLister_;
    std::unique_ptr<RtMidiOut> outputLister_;
    // Declared before the ports that report to them, so they outlive them.
    RtMidiReport listerReport_;
    RtMidiReport inputReport_;
    RtMidiReport outputReport_;
    std::unique_ptr<RtMidiIn> input_;
    std::unique_ptr<RtMidiOut> output_;
    std::atomic<IncomingQueue*> inputQueue_{nullptr};
    RtMidiDeviceWatch watch_;
};

}  // namespace

std::unique_ptr<MidiBackend> createRtMidiBackend(RtMidiSystem system) {
    const RtMidi::Api api = apiOf(system);
#if defined(__linux__)
    // Without the sequencer device ALSA cannot open; asking anyway only
    // prints the library's complaints on the terminal.
    if (api == RtMidi::LINUX_ALSA && ::access("/dev/snd/seq", R_OK | W_OK) != 0) {
        return nullptr;
    }
#endif
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    if (std::ranges::find(compiled, api) == compiled.end()) {
        return nullptr;
    }
    try {
        auto inputLister = std::make_unique<RtMidiIn>(api, kClientName);
        auto outputLister = std::make_unique<RtMidiOut>(api, kClientName);
        return std::make_unique<RtMidiBackend>(api, std::move(inputLister),
                                               std::move(outputLister));
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

}  // namespace keyflip
