#pragma once

#include "program_host.h"

#include <exception>
#include <functional>
#include <utility>

class QWidget;

namespace keyflip {

// Thrown inside a handler that finds the program ended while it waited on a
// dialog, so it stops there; the boundary swallows it.
struct ProgramEnded {};

// Every handler of both windows runs through run(). No handler catches
// errors: one that escapes is reported here in a box with its description
// and the program's title, and the program ends with a non-zero status.
// Once the program has ended, by an error or by a command, no handler runs.
class HandlerBoundary {
public:
    static constexpr int kErrorExitStatus = 1;

    HandlerBoundary(ProgramHost& host, QWidget& boxParent) : host_(host), boxParent_(boxParent) {}

    template <typename Handler>
    void run(Handler&& handler) noexcept {
        if (ended_) {
            return;
        }
        try {
            std::forward<Handler>(handler)();
        } catch (const ProgramEnded&) {
            // The program ended during a wait; nothing is left to do.
        } catch (...) {
            report(std::current_exception());
        }
    }

    // Ends the program at once: no handler runs after this one.
    void end(int status);
    bool ended() const { return ended_; }
    // True while the box of an error that ended the program waits for the user.
    bool reportingError() const { return reportingError_; }
    // After a wait: a handler that ran meanwhile may have ended the program.
    void stopIfEnded() const;

private:
    void report(std::exception_ptr error) noexcept;

    ProgramHost& host_;
    QWidget& boxParent_;
    bool ended_ = false;
    bool reportingError_ = false;
};

// Runs what comes before the main window and its boundary exist (the
// descriptors that wake the window, the MIDI system): an error that escapes
// is shown in the same box a handler's error would be, and the program ends
// with HandlerBoundary::kErrorExitStatus. False then.
bool runStartUp(ProgramHost& host, const std::function<void()>& work) noexcept;

}  // namespace keyflip
