#include "thread_crossing.h"

#include <QObject>
#include <QSocketNotifier>

#include <utility>

namespace keyflip {

ThreadCrossing::ThreadCrossing(const char* failure) : descriptor_(failure) {
}

ThreadCrossing::~ThreadCrossing() = default;

void ThreadCrossing::setHandler(std::function<void()> handler) {
    notifier_.reset();
    if (!handler) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_.fd(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                     [handler = std::move(handler)] { handler(); });
}

}  // namespace keyflip
