#include "backend_probes.h"

#include <QCoreApplication>

#include <algorithm>
#include <thread>

namespace keyflip::checks {

bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds{200});
    }
}

LossRecorder::LossRecorder(MidiBackend& backend) {
    QObject::connect(&backend, &MidiBackend::connectionLost,
                     [this](PortSide side, qint16 code, const QString& text) {
                         losses.push_back({side, code, text});
                     });
    QObject::connect(&backend, &MidiBackend::peerLeft,
                     [this](PortSide side, const std::string& name) {
                         departures.push_back({side, QString::fromStdString(name)});
                     });
}

std::size_t LossRecorder::count(PortSide side) const {
    return static_cast<std::size_t>(std::ranges::count(losses, side, &Loss::side));
}

QueueDrain::QueueDrain(IncomingQueue& queue) : queue_(queue) {
    queue_.setWakeHandler([this] { drain(); });
}

QueueDrain::~QueueDrain() {
    queue_.setWakeHandler({});
}

void QueueDrain::drain() {
    queue_.acknowledgeWake();
    ++wakes;
    while (queue_.size() > 0) {
        messages.push_back(encodeShortMessage(queue_.front()).value_or(WireMessage{}));
        queue_.pop();
    }
    dropped += queue_.takeDroppedCount();
}

}  // namespace keyflip::checks
