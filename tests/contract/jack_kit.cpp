// The contract on JACK: a private server per case, with libjack clients as
// the other programs.
#include "jack_kit.h"

#include "jack_testkit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

namespace keyflip::contract {
namespace {

using jacktest::JackClient;
using jacktest::JackServer;
using jacktest::MidiReceiver;
using jacktest::MidiSender;

class JackSource final : public PeerSource {
public:
    explicit JackSource(const std::string& name) : sender_(name) {}
    bool ok() const { return sender_.ok(); }
    std::string portName() const override { return sender_.portName(); }
    void send(const std::vector<RawEvent>& events, std::size_t perBurst) override {
        sender_.sendRaw(events, perBurst);
    }
    std::size_t sentCount() const override { return sender_.sentCount(); }
    bool renamePort(const std::string& newName) override { return sender_.renamePort(newName); }
    bool remakePort() override { return sender_.remakePort(); }

private:
    MidiSender sender_;
};

class JackDestination final : public PeerDestination {
public:
    JackDestination(const std::string& name, std::size_t capacity) : receiver_(name, capacity) {}
    bool ok() const { return receiver_.ok(); }
    std::string portName() const override { return receiver_.portName(); }
    std::size_t count() const override { return receiver_.count(); }
    std::vector<WireMessage> messages() const override { return receiver_.messages(); }
    std::uint64_t lost() const override { return receiver_.overflow(); }
    bool renamePort(const std::string& newName) override { return receiver_.renamePort(newName); }
    bool remakePort() override { return receiver_.remakePort(); }

private:
    MidiReceiver receiver_;
};

class JackKit final : public MidiSystemKit {
public:
    explicit JackKit(BackendFactory createBackend) : createBackend_(std::move(createBackend)) {}

    std::string name() const override { return "JACK"; }

    std::optional<std::string> start() override {
        // Against a server already running instead of a private jackd, for
        // example PipeWire's JACK support under pw-jack.
        if (std::getenv("KEYFLIP_USE_RUNNING_JACK") != nullptr) {
            return startXrunWatch();
        }
        if (!jacktest::programInPath("jackd")) {
            return "jackd is not installed";
        }
        server_ = std::make_unique<JackServer>(jacktest::testPeriodFrames());
        if (!server_->start()) {
            return "jackd did not come up:\n" + server_->log();
        }
        return startXrunWatch();
    }

    std::unique_ptr<MidiBackend> createBackend() override { return createBackend_(); }

    std::unique_ptr<PeerSource> createSource(const std::string& clientName) override {
        auto source = std::make_unique<JackSource>(clientName);
        EXPECT_TRUE(source->ok()) << clientName;
        return source;
    }

    std::unique_ptr<PeerDestination> createDestination(const std::string& clientName,
                                                       std::size_t capacity) override {
        auto destination = std::make_unique<JackDestination>(clientName, capacity);
        EXPECT_TRUE(destination->ok()) << clientName;
        return destination;
    }

    // KEYFLIP_PATCH_PROGRAM names a program that connects two ports given as
    // arguments (pw-link under PipeWire); otherwise libjack connects them.
    bool patch(const std::string& from, const std::string& to) override {
        if (const char* program = std::getenv("KEYFLIP_PATCH_PROGRAM")) {
            const std::string command =
                std::string(program) + " '" + from + "' '" + to + "' >/dev/null 2>&1";
            return std::system(command.c_str()) == 0;
        }
        return xrunWatch_ && jack_connect(xrunWatch_->get(), from.c_str(), to.c_str()) == 0;
    }

    std::uint64_t xruns() const override { return xrunWatch_ ? xrunWatch_->xruns() : 0; }

private:
    std::optional<std::string> startXrunWatch() {
        xrunWatch_ = std::make_unique<JackClient>("xrun-watch");
        if (!xrunWatch_->ok() || jack_activate(xrunWatch_->get()) != 0) {
            return "the xrun watch could not join the server";
        }
        return std::nullopt;
    }

    BackendFactory createBackend_;
    std::unique_ptr<JackServer> server_;
    std::unique_ptr<JackClient> xrunWatch_;  // after the server, so it closes first
};

}  // namespace

KitFactory jackKit(std::string name, BackendFactory createBackend) {
    return {std::move(name), [createBackend = std::move(createBackend)] {
                return std::make_unique<JackKit>(createBackend);
            }};
}

}  // namespace keyflip::contract
