#include "rtmidi_device_watch.h"

#include <algorithm>
#include <utility>

namespace keyflip {

RtMidiDeviceWatch::RtMidiDeviceWatch(Callbacks callbacks, QObject* parent)
    : QObject(parent), callbacks_(std::move(callbacks)) {
    timer_.setInterval(kDeviceWatchInterval);
    connect(&timer_, &QTimer::timeout, this, &RtMidiDeviceWatch::look);
}

void RtMidiDeviceWatch::connected(PortSide which, std::string name, std::string given) {
    Side& state = side(which);
    state.awaiting = false;
    state.peer.reset();
    if (!name.empty()) {
        state.peer = ConnectedPeer<std::string>{std::move(name), std::move(given)};
    }
    update();
}

void RtMidiDeviceWatch::closed(PortSide which) {
    Side& state = side(which);
    if (state.peer && state.peer->left) {
        state.awaiting = true;
    }
    state.peer.reset();
    update();
}

void RtMidiDeviceWatch::awaited(PortSide which) {
    side(which).awaiting = true;
    update();
}

// The lists are read when watching starts, so that the first look compares
// with what was there as the port opened.
void RtMidiDeviceWatch::update() {
    const auto needs = [](const Side& state) { return state.awaiting || state.peer.has_value(); };
    const bool needed = needs(input_) || needs(output_);
    if (needed && !timer_.isActive()) {
        last_ = callbacks_.read();
        timer_.start();
    } else if (!needed) {
        timer_.stop();
    }
}

void RtMidiDeviceWatch::look() {
    Lists now = callbacks_.read();
    const bool changed = now != last_;
    last_ = std::move(now);
    // What is reported is decided before a report runs: the port that hears
    // of its device leaving closes at once, which changes this watch.
    std::vector<std::pair<PortSide, std::string>> departures;
    for (const PortSide which : {PortSide::Input, PortSide::Output}) {
        auto& peer = side(which).peer;
        const auto& list = which == PortSide::Input ? last_.sources : last_.destinations;
        if (peer && !peer->left && std::ranges::find(list, peer->handle) == list.end()) {
            peer->markLeft();
            departures.emplace_back(which, peer->name);
        }
    }
    for (const auto& [which, name] : departures) {
        callbacks_.left(which, name);
    }
    if (changed) {
        callbacks_.changed();
    }
}

}  // namespace keyflip
