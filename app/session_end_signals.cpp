// The session's end on POSIX systems: termination signals, and Qt's exit()
// when the display goes (termination_signals.h).
#include "session_end.h"

#include "termination_signals.h"

#include <optional>
#include <utility>

namespace keyflip {

namespace {

class SignalSessionEnd : public SessionEnd {
public:
    SignalSessionEnd() {
        connect(&terminationSignals_, &TerminationSignals::received, this,
                &SessionEnd::endRequested);
    }

    void setQuietRelease(std::function<void()> release) override {
        releaseOnExit_.reset();
        if (release) {
            releaseOnExit_.emplace(std::move(release));
        }
    }

private:
    TerminationSignals terminationSignals_;
    std::optional<ReleaseOnExit> releaseOnExit_;
};

}  // namespace

std::unique_ptr<SessionEnd> watchSessionEnd() {
    return std::make_unique<SignalSessionEnd>();
}

}  // namespace keyflip
