// Thread crossings. The backend is one sequencer client, "Keyflip", with the
// ports "in" and "out" and a hidden port that receives the sequencer's System
// Announce events. Two threads share the client's one handle, each with its
// own part of it: the UI thread makes every query, connection and send (ioctls
// and direct writes, which use no buffer of the handle), and the reader
// thread (AlsaReader), started with the backend and stopped with it, is the
// only one that reads events. The reader turns each MIDI event arriving at
// "in" into bytes, pushes them into the input port's IncomingQueue and wakes
// the UI thread through the queue's own descriptor, as the JACK backend does;
// input overruns it counts into the same queue. An announcement that a client
// or port came, left or was renamed only sets a flag and signals the
// backend's wake-up descriptor, whose QSocketNotifier runs the check, and any
// signal, on the UI thread.
// The reader holds its delivery mutex while it uses the queue, and its
// setters take the same mutex, so setInputQueue and closeInput know, once
// they return, that the old queue is left alone. Nothing on the reader thread
// calls Qt.
#include "alsa_backend.h"

#include "alsa_check.h"
#include "alsa_client.h"
#include "alsa_input.h"
#include "alsa_links.h"
#include "alsa_observer.h"
#include "alsa_output.h"
#include "alsa_peers.h"

#include "port_texts.h"
#include "thread_crossing.h"

#include <alsa/asoundlib.h>

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace keyflip {

namespace {

using alsa::ConnectedPeer;

// What opening the sequencer's device said, in the user's terms: a user not
// in the audio group, or without a seat, may not open it; without the
// kernel's sequencer there is no device.
texts::AlsaRefusal whyNotOpened(const alsa::AlsaFailure& failure) {
    if (std::string_view(failure.call) != "snd_seq_open") {
        return texts::AlsaRefusal::Failed;
    }
    switch (-failure.error) {
        case EACCES:
        case EPERM:
            return texts::AlsaRefusal::NoPermission;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return texts::AlsaRefusal::NotLoaded;
        default:
            return texts::AlsaRefusal::Failed;
    }
}

class AlsaBackend final : public MidiBackend {
public:
    explicit AlsaBackend(alsa::OpenClient client)
        : client_(std::move(client)),
          sequencer_(client_.sequencer.get()),
          peers_(sequencer_, client_.ports.client),
          output_(sequencer_, client_.ports, crossing_),
          reader_(std::make_unique<alsa::AlsaReader>(sequencer_, client_.ports, crossing_)) {
        crossing_.setHandler([this] { onWake(); });
        connect(&output_, &alsa::AlsaOutput::lost, this, &MidiBackend::outgoingLost);
        reader_->start();
    }

    // A reader that does not end is left blocked in its read, with the
    // handle it reads from: closing either under it would pull them away
    // from a read that may still return.
    ~AlsaBackend() override {
        if (outputOpen_) {
            output_.flush(kCloseFlushLimit);
        }
        if (!reader_->stop()) {
            qWarning("%s", texts::kAlsaReaderNotStopped);
            static_cast<void>(reader_.release());
            static_cast<void>(client_.sequencer.release());
        }
        crossing_.setHandler({});
    }

    QString systemName() const override { return QStringLiteral("ALSA sequencer"); }
    std::optional<QString> unreachableReason() override { return std::nullopt; }

    std::vector<std::string> sourceNames() override {
        return alsa::names(peers_.peerPorts(alsa::kSourceCaps));
    }
    std::vector<std::string> destinationNames() override {
        return alsa::names(peers_.peerPorts(alsa::kDestinationCaps));
    }

    bool isListed(PortSide side, const std::string& name) override {
        return std::ranges::any_of(
            peers_.peerPorts(side == PortSide::Input ? alsa::kSourceCaps : alsa::kDestinationCaps),
            [&](const alsa::PeerPort& port) { return alsa::answersTo(port, name); });
    }

    std::optional<PortFault> openInput(const std::string& source) override {
        closeInput();
        // Nothing would ever arrive: say so rather than open a silent input.
        if (reader_->failed()) {
            return PortFault{PortErrorCode::ConnectionLost, texts::alsaReaderFailed()};
        }
        if (!source.empty()) {
            auto peer = peers_.find(source, alsa::kSourceCaps, PortSide::Input);
            if (!peer) {
                return peer.error;
            }
            if (auto fault =
                    connectPeer(PortSide::Input, source, std::move(peer.port), inputSource_)) {
                return fault;
            }
        }
        inputOpen_ = true;
        reader_->setDelivering(true);
        return std::nullopt;
    }

    void closeInput() override {
        if (!inputOpen_) {
            return;
        }
        reader_->setDelivering(false);
        disconnectPeer(PortSide::Input, std::exchange(inputSource_, std::nullopt));
        inputOpen_ = false;
    }

    void setInputQueue(IncomingQueue* queue) override { reader_->setQueue(queue); }

    std::optional<PortFault> openOutput(const std::string& destination) override {
        closeOutput();
        if (!destination.empty()) {
            auto peer = peers_.find(destination, alsa::kDestinationCaps, PortSide::Output);
            if (!peer) {
                return peer.error;
            }
            if (auto fault = connectPeer(PortSide::Output, destination, std::move(peer.port),
                                         outputDestination_)) {
                return fault;
            }
        }
        outputOpen_ = true;
        output_.refreshConnections();
        return std::nullopt;
    }

    void closeOutput() override {
        if (!outputOpen_) {
            return;
        }
        output_.flush(kCloseFlushLimit);
        outputOpen_ = false;
        // What the flush could not get out must not reach the next destination.
        output_.dropHeld();
        disconnectPeer(PortSide::Output, std::exchange(outputDestination_, std::nullopt));
        output_.refreshConnections();
    }

    std::vector<WireMessage> discardOutput() override { return output_.discard(); }

    Delivery dispatch(const WireMessage& message) override {
        return outputOpen_ ? output_.send(message) : Delivery::Refused;
    }

    void flushOutput(std::chrono::milliseconds limit) override { output_.flush(limit); }

private:
    // Connects the peer found under name and records it in connected; or
    // says why it could not be connected.
    std::optional<PortFault> connectPeer(PortSide side, const std::string& name,
                                         alsa::PeerPort port,
                                         std::optional<ConnectedPeer>& connected) {
        const alsa::Linking linking =
            alsa::connect(sequencer_, alsa::linkWith(side, client_.ports, port.address));
        switch (linking.outcome) {
            case alsa::Linking::Made:
            case alsa::Linking::AlreadyThere:
                break;
            case alsa::Linking::HeldExclusively:
                return PortFault{PortErrorCode::DeviceOpenFailed,
                                 texts::deviceNotConnected(side, name, texts::heldExclusively())};
            case alsa::Linking::Failed:
                return PortFault{
                    PortErrorCode::DeviceOpenFailed,
                    texts::deviceNotConnected(side, name, alsa::alsaText(linking.failure->error))};
        }
        reader_->watch(side, port.address);
        connected = ConnectedPeer{port.name, std::move(port)};
        connected->ours = linking.outcome == alsa::Linking::Made;
        return std::nullopt;
    }

    // A port leaving at the peer's address is the peer's only while the
    // connection went with it: the announcement of an earlier port there
    // may be read after the connection to the new one was made.
    bool stillConnected(PortSide side, const std::optional<ConnectedPeer>& peer) const {
        return peer && alsa::isConnected(sequencer_,
                                         alsa::linkWith(side, client_.ports, peer->handle.address));
    }

    void disconnectPeer(PortSide side, const std::optional<ConnectedPeer>& peer) {
        reader_->watch(side, std::nullopt);
        if (peer && peer->ours) {
            alsa::disconnect(sequencer_, alsa::linkWith(side, client_.ports, peer->handle.address));
        }
    }

    void onWake() {
        crossing_.acknowledge();
        if (reader_->failed() && !readerFailureReported_) {
            readerFailureReported_ = true;
            reportReaderFailure();
        }
        if (crossing_.takeFlag(alsa::kSubscriptions)) {
            output_.refreshConnections();
        }
        const bool sourceLeft = crossing_.takeFlag(alsa::kSourceLeft);
        const bool destinationLeft = crossing_.takeFlag(alsa::kDestinationLeft);
        if (crossing_.takeFlag(alsa::kDepartures) || sourceLeft || destinationLeft) {
            checkConnections(sourceLeft, destinationLeft);
        }
        if (crossing_.takeFlag(alsa::kArrivals)) {
            emit peersChanged();
        }
    }

    void reportReaderFailure() {
        if (inputOpen_) {
            closeInput();
            emit connectionLost(PortSide::Input, PortErrorCode::ConnectionLost,
                                texts::alsaReaderFailed());
        }
    }

    // The state is made consistent before a signal goes out, since a slot
    // may well call back in to close or reopen.
    void checkConnections(bool sourceLeft, bool destinationLeft) {
        const alsa::Departures left = alsa::markDepartures(
            peers_, inputSource_, outputDestination_,
            sourceLeft && !stillConnected(PortSide::Input, inputSource_),
            destinationLeft && !stillConnected(PortSide::Output, outputDestination_));
        if (left.destination) {
            // Nothing can reach it any more; the one box says why.
            output_.refreshConnections();
        }
        if (left.source) {
            emit peerLeft(PortSide::Input, *left.source);
        }
        if (left.destination) {
            emit peerLeft(PortSide::Output, *left.destination);
        }
    }

    // Made in this order and undone in the reverse: the handle closes last,
    // and the crossing outlives the output and the reader that use it.
    alsa::OpenClient client_;
    snd_seq_t* const sequencer_;
    alsa::AlsaPeers peers_;
    ThreadCrossing crossing_{texts::kBackendWakeFailed};
    alsa::AlsaOutput output_;
    std::unique_ptr<alsa::AlsaReader> reader_;

    // UI thread only.
    std::optional<ConnectedPeer> inputSource_;
    std::optional<ConnectedPeer> outputDestination_;
    bool inputOpen_ = false;
    bool outputOpen_ = false;
    bool readerFailureReported_ = false;
};

}  // namespace

AlsaOpening openAlsaBackend() {
    auto opened = alsa::openClient();
    if (auto* client = std::get_if<alsa::OpenClient>(&opened)) {
        return {std::make_unique<AlsaBackend>(std::move(*client)), {}};
    }
    const auto& failure = std::get<alsa::AlsaFailure>(opened);
    return {nullptr, texts::alsaNotOpened(whyNotOpened(failure), failure.text())};
}

std::unique_ptr<MidiBackend> createAlsaBackend() {
    return openAlsaBackend().backend;
}

}  // namespace keyflip
