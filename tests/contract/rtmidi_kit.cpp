#include "rtmidi_kit.h"

#include "rtmidi/rtmidi_names.h"

#include <RtMidi.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace keyflip::contract {
namespace {

// The program's own port as the contract names it, "Keyflip:in", under the
// name it has on the system: RtMidi opens a client per port, which JACK
// numbers ("Keyflip-02:in").
std::string ownPortOnTheSystem(RtMidiSystem system, const std::string& name) {
    const std::string prefix = "Keyflip:";
    if (!name.starts_with(prefix)) {
        return name;
    }
    const std::string port = name.substr(prefix.size());
    const RtMidi::Api api = system == RtMidiSystem::Jack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA;
    std::vector<std::string> given;
    if (port == "in") {
        RtMidiOut lister(api, "contract-lister");
        for (unsigned int index = 0; index < lister.getPortCount(); ++index) {
            given.push_back(lister.getPortName(index));
        }
    } else {
        RtMidiIn lister(api, "contract-lister");
        for (unsigned int index = 0; index < lister.getPortCount(); ++index) {
            given.push_back(lister.getPortName(index));
        }
    }
    const auto naming =
        system == RtMidiSystem::Jack ? RtMidiNaming::AsGiven : RtMidiNaming::AddressAppended;
    for (const std::string& shown : shownPortNames(naming, given)) {
        if (isOwnPortName(shown) && shown.ends_with(':' + port)) {
            return shown;
        }
    }
    return name;
}

class RtMidiKit final : public MidiSystemKit {
public:
    RtMidiKit(std::unique_ptr<MidiSystemKit> peers, RtMidiSystem system)
        : peers_(std::move(peers)), system_(system) {}

    std::string name() const override { return "RtMidi on " + peers_->name(); }
    std::optional<std::string> start() override { return peers_->start(); }
    bool required() const override { return peers_->required(); }
    std::unique_ptr<MidiBackend> createBackend() override { return peers_->createBackend(); }
    std::unique_ptr<PeerSource> createSource(const std::string& clientName) override {
        return peers_->createSource(clientName);
    }
    std::unique_ptr<PeerDestination> createDestination(const std::string& clientName,
                                                       std::size_t capacity) override {
        return peers_->createDestination(clientName, capacity);
    }
    bool patch(const std::string& from, const std::string& to) override {
        return peers_->patch(ownPortOnTheSystem(system_, from), ownPortOnTheSystem(system_, to));
    }
    std::uint64_t xruns() const override { return peers_->xruns(); }

    std::optional<std::string> limit(Limit limit) const override {
        if (limit == Limit::PortsMadeAgainUnnoticed) {
            return "RtMidi tells nothing of ports coming and going, and a port made again at "
                   "once under its name leaves the lists Keyflip compares as they were";
        }
        if (system_ == RtMidiSystem::Jack) {
            switch (limit) {
                case Limit::OutgoingBurstsDroppedUnreported:
                    return "RtMidi's JACK output drops, without a word, what does not fit into "
                           "one period's buffer";
                case Limit::UnendedSysExTakesTheNextEvent:
                    return "RtMidi's JACK input joins the event after an unended system "
                           "exclusive message to it";
                default:
                    return std::nullopt;
            }
        }
        if (limit == Limit::IncomingBurstsDroppedUnreported) {
            return "RtMidi leaves the ALSA sequencer's input pool at its default 200 events: a "
                   "larger burst overflows it, the kernel drops what waited and refuses the "
                   "sender, and RtMidi tells only stderr";
        }
        return std::nullopt;
    }

private:
    std::unique_ptr<MidiSystemKit> peers_;
    RtMidiSystem system_;
};

}  // namespace

KitFactory rtMidiKit(std::string name, RtMidiSystem system, PeersKit peersKit) {
    const KitFactory peers = peersKit(name, [system] { return createRtMidiBackend(system); });
    return {std::move(name),
            [peers, system] { return std::make_unique<RtMidiKit>(peers.create(), system); }};
}

}  // namespace keyflip::contract
