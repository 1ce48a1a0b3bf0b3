#include "peer_rejoin.h"

#include "port_texts.h"

#include <chrono>
#include <utility>

namespace keyflip {

namespace {

using namespace std::chrono_literals;

// A JACK client is refused connections from registering its ports until it
// activates, typically within a few tens of milliseconds.
constexpr auto kRetryInterval = 20ms;
// Two seconds of refusals after one change in the device lists; the next
// change starts the count again.
constexpr int kRetriesPerChange = 100;

}  // namespace

PeerRejoin::PeerRejoin(MidiBackend& backend, PortSide side, Reopen reopen, QObject* parent)
    : QObject(parent), backend_(backend), side_(side), reopen_(std::move(reopen)) {
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, [this] { attempt(false); });
    connect(&backend_, &MidiBackend::peersChanged, this, [this] { attempt(true); });
}

// The device may already be back by the time its leaving is handled (a quick
// replug, or a box that kept the leaving waiting), so the first look is at once.
void PeerRejoin::remember(std::string name, bool started) {
    awaited_ = Awaited{std::move(name), started};
    retriesLeft_ = kRetriesPerChange;
    retry_.start(0ms);
}

void PeerRejoin::forget() {
    awaited_.reset();
    retry_.stop();
}

void PeerRejoin::attempt(bool afterChange) {
    if (!awaited_) {
        return;
    }
    if (afterChange) {
        retriesLeft_ = kRetriesPerChange;
    }
    if (!listed(awaited_->name)) {
        return;
    }
    // Taken out first: a box the reopening raises may run the event loop.
    const Awaited awaited = *std::exchange(awaited_, std::nullopt);
    retry_.stop();
    if (reopen_(awaited.name, awaited.started)) {
        return;
    }
    awaited_ = awaited;
    if (retriesLeft_ > 0) {
        --retriesLeft_;
        retry_.start(kRetryInterval);
    }
}

bool PeerRejoin::listed(const std::string& name) const {
    if (backend_.unreachableReason()) {
        return false;
    }
    return backend_.isListed(side_, name);
}

void awaitIfAway(PeerRejoin& rejoin, const std::string& name, PortFault& fault) {
    if (fault.code != PortErrorCode::DeviceNotFound || name.empty()) {
        return;
    }
    rejoin.remember(name, false);
    fault.text += texts::awaitedWhenBack();
}

}  // namespace keyflip
