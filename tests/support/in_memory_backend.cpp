#include "in_memory_backend.h"

#include "incoming_queue.h"

#include <algorithm>
#include <utility>

namespace keyflip {

bool InMemoryBackend::deliver(std::span<const std::uint8_t> bytes) {
    if (!inputOpen_ || !inputQueue_) {
        return false;
    }
    const bool queued = inputQueue_->pushBytes(bytes);
    inputQueue_->wake();
    return queued;
}

bool InMemoryBackend::deliver(const ShortMessage& message) {
    if (!inputOpen_ || !inputQueue_) {
        return false;
    }
    const bool queued = inputQueue_->push(message);
    inputQueue_->wake();
    return queued;
}

void InMemoryBackend::loseConnection(PortSide side, const QString& text) {
    if (side == PortSide::Input) {
        inputOpen_ = false;
        connectedSource_.clear();
    } else {
        outputOpen_ = false;
        connectedDestination_.clear();
    }
    emit connectionLost(side, PortErrorCode::ConnectionLost, text);
}

void InMemoryBackend::unplug(PortSide side) {
    const bool input = side == PortSide::Input;
    std::string name = std::exchange(input ? connectedSource_ : connectedDestination_, {});
    (input ? inputOpen_ : outputOpen_) = false;
    std::erase(input ? sources_ : destinations_, name);
    emit peerLeft(side, name);
}

void InMemoryBackend::plugIn(PortSide side, const std::string& name) {
    (side == PortSide::Input ? sources_ : destinations_).push_back(name);
    emit peersChanged();
}

std::vector<std::string> InMemoryBackend::sourceNames() {
    return unreachable_ ? std::vector<std::string>{} : sources_;
}

std::vector<std::string> InMemoryBackend::destinationNames() {
    return unreachable_ ? std::vector<std::string>{} : destinations_;
}

std::optional<PortFault> InMemoryBackend::checkDevice(const std::vector<std::string>& list,
                                                      const std::string& name) const {
    if (name.empty()) {
        return std::nullopt;
    }
    const QString quoted = QString::fromStdString(name);
    if (std::find(list.begin(), list.end(), name) == list.end()) {
        return PortFault{PortErrorCode::DeviceNotFound,
                         QStringLiteral("The MIDI device \"%1\" is no longer there.").arg(quoted)};
    }
    if (refused_.contains(name)) {
        return PortFault{PortErrorCode::DeviceOpenFailed,
                         QStringLiteral("The MIDI device \"%1\" could not be opened.").arg(quoted)};
    }
    return std::nullopt;
}

std::optional<PortFault> InMemoryBackend::openInput(const std::string& source) {
    if (auto fault = checkDevice(sources_, source)) {
        return fault;
    }
    inputOpen_ = true;
    connectedSource_ = source;
    return std::nullopt;
}

void InMemoryBackend::closeInput() {
    inputOpen_ = false;
    connectedSource_.clear();
}

std::optional<PortFault> InMemoryBackend::openOutput(const std::string& destination) {
    if (auto fault = checkDevice(destinations_, destination)) {
        return fault;
    }
    outputOpen_ = true;
    connectedDestination_ = destination;
    return std::nullopt;
}

void InMemoryBackend::closeOutput() {
    outputOpen_ = false;
    connectedDestination_.clear();
}

Delivery InMemoryBackend::dispatch(const WireMessage& message) {
    if (!outputOpen_) {
        return Delivery::Refused;
    }
    if (sendsToRefuse_ > 0) {
        --sendsToRefuse_;
        return Delivery::Refused;
    }
    sent_.push_back(message);
    if (sendsToMiss_ > 0) {
        --sendsToMiss_;
        return Delivery::Partly;
    }
    return Delivery::Everywhere;
}

}  // namespace keyflip
