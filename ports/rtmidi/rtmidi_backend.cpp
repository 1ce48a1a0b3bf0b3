#include "rtmidi_backend.h"

#include "incoming_queue.h"
#include "port_texts.h"

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#if defined(__linux__)
#include <unistd.h>
#endif

namespace keyflip {

namespace {

constexpr const char* kClientName = "Keyflip";
constexpr unsigned int kRtMidiQueueLimit = 1024;

// The platform's own MIDI system. RtMidi's JACK backend is never used: the
// program talks to JACK directly.
RtMidi::Api platformApi() {
#if defined(__APPLE__)
    return RtMidi::MACOSX_CORE;
#elif defined(_WIN32)
    return RtMidi::WINDOWS_MM;
#else
    return RtMidi::LINUX_ALSA;
#endif
}

bool isOwnPort(const std::string& name) {
    return name.rfind(kClientName, 0) == 0;
}

template <typename Port>
std::vector<std::string> portNames(Port& port) {
    std::vector<std::string> names;
    const unsigned int count = port.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
        std::string name = port.getPortName(i);
        if (!name.empty() && !isOwnPort(name)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

template <typename Port>
std::optional<unsigned int> portIndex(Port& port, const std::string& name) {
    const unsigned int count = port.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
        if (port.getPortName(i) == name) {
            return i;
        }
    }
    return std::nullopt;
}

PortFault goneFault(PortSide side, const std::string& name) {
    return {PortErrorCode::DeviceNotFound, texts::deviceNotThere(side, name)};
}

PortFault openFault(PortSide side, const std::string& name, const std::string& why) {
    return {PortErrorCode::DeviceOpenFailed, texts::deviceNotOpened(side, name, why)};
}

// The port listers' errors only leave a name out of a list.
void ignoreRtMidiError(RtMidiError::Type, const std::string&, void*) {
}

// Once it has an error callback RtMidi never throws: a port that did not
// open, a virtual port the platform cannot make (Windows) or a message not
// sent is only reported to the callback, and the call returns as if it had
// worked. What it reported during a call is kept here and asked for after
// it. The callback may also come from RtMidi's own input thread.
class RtMidiReport {
public:
    static void record(RtMidiError::Type type, const std::string& text, void* report) {
        if (type == RtMidiError::DEBUG_WARNING) {
            return;
        }
        auto* self = static_cast<RtMidiReport*>(report);
        const std::lock_guard lock(self->mutex_);
        if (!self->text_) {
            self->text_ = text;
        }
    }
    void clear() {
        const std::lock_guard lock(mutex_);
        text_.reset();
    }
    std::optional<std::string> take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(text_, std::nullopt);
    }

private:
    std::mutex mutex_;
    std::optional<std::string> text_;
};

class RtMidiBackend : public MidiBackend {
public:
    RtMidiBackend(std::unique_ptr<RtMidiIn> lister, std::unique_ptr<RtMidiOut> outputLister)
        : inputLister_(std::move(lister)), outputLister_(std::move(outputLister)) {}

    ~RtMidiBackend() override {
        closeInput();
        closeOutput();
    }

    QString systemName() const override {
        return QString::fromStdString(RtMidi::getApiDisplayName(platformApi()));
    }
    std::optional<QString> unreachableReason() override { return std::nullopt; }

    std::vector<std::string> sourceNames() override { return portNames(*inputLister_); }
    std::vector<std::string> destinationNames() override { return portNames(*outputLister_); }

    std::optional<PortFault> openInput(const std::string& source) override {
        closeInput();
        try {
            auto input = std::make_unique<RtMidiIn>(platformApi(), kClientName, kRtMidiQueueLimit);
            input->setErrorCallback(&RtMidiReport::record, &inputReport_);
            inputReport_.clear();
            // System exclusive is not a short message; clock and sensing are.
            input->ignoreTypes(true, false, false);
            input->setCallback(&RtMidiBackend::onIncoming, this);
            if (source.empty()) {
                input->openVirtualPort("in");
            } else {
                const auto index = portIndex(*input, source);
                if (!index) {
                    return goneFault(PortSide::Input, source);
                }
                input->openPort(*index, "in");
            }
            if (auto why = inputReport_.take()) {
                return openFault(PortSide::Input, source.empty() ? texts::kOwnInputName : source,
                                 *why);
            }
            input_ = std::move(input);
        } catch (const RtMidiError& error) {
            return openFault(PortSide::Input, source, error.getMessage());
        }
        return std::nullopt;
    }

    void closeInput() override {
        input_.reset();  // joins RtMidi's thread, so no callback outlives this
    }

    void setInputQueue(IncomingQueue* queue) override {
        inputQueue_.store(queue, std::memory_order_release);
    }

    std::optional<PortFault> openOutput(const std::string& destination) override {
        closeOutput();
        try {
            auto output = std::make_unique<RtMidiOut>(platformApi(), kClientName);
            output->setErrorCallback(&RtMidiReport::record, &outputReport_);
            outputReport_.clear();
            if (destination.empty()) {
                output->openVirtualPort("out");
            } else {
                const auto index = portIndex(*output, destination);
                if (!index) {
                    return goneFault(PortSide::Output, destination);
                }
                output->openPort(*index, "out");
            }
            if (auto why = outputReport_.take()) {
                return openFault(PortSide::Output,
                                 destination.empty() ? texts::kOwnOutputName : destination, *why);
            }
            output_ = std::move(output);
        } catch (const RtMidiError& error) {
            return openFault(PortSide::Output, destination, error.getMessage());
        }
        return std::nullopt;
    }

    void closeOutput() override { output_.reset(); }

    // One port, one connection: a message reaches it or not.
    Delivery dispatch(const WireMessage& message) override {
        if (!output_) {
            return Delivery::Refused;
        }
        outputReport_.clear();
        output_->sendMessage(message.bytes.data(), message.size);
        return outputReport_.take() ? Delivery::Refused : Delivery::Everywhere;
    }

    // RtMidi hands each message to the system as it is sent.
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

    std::unique_ptr<RtMidiIn> inputLister_;
    std::unique_ptr<RtMidiOut> outputLister_;
    // Declared before the ports that report to them, so they outlive them.
    RtMidiReport inputReport_;
    RtMidiReport outputReport_;
    std::unique_ptr<RtMidiIn> input_;
    std::unique_ptr<RtMidiOut> output_;
    std::atomic<IncomingQueue*> inputQueue_{nullptr};
};

}  // namespace

std::unique_ptr<MidiBackend> createRtMidiBackend() {
#if defined(__linux__)
    // Without the sequencer device ALSA cannot open; asking anyway only
    // prints the library's complaints on the terminal.
    if (::access("/dev/snd/seq", R_OK | W_OK) != 0) {
        return nullptr;
    }
#endif
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    if (std::find(compiled.begin(), compiled.end(), platformApi()) == compiled.end()) {
        return nullptr;
    }
    try {
        auto inputLister = std::make_unique<RtMidiIn>(platformApi(), kClientName);
        auto outputLister = std::make_unique<RtMidiOut>(platformApi(), kClientName);
        inputLister->setErrorCallback(&ignoreRtMidiError, nullptr);
        outputLister->setErrorCallback(&ignoreRtMidiError, nullptr);
        return std::make_unique<RtMidiBackend>(std::move(inputLister), std::move(outputLister));
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

}  // namespace keyflip
