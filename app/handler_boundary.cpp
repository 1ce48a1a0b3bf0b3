#include "handler_boundary.h"

#include "program_error.h"

#include <new>
#include <stdexcept>

namespace keyflip {

namespace {

QString describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const ProgramError& programError) {
        return QString::fromUtf8(programError.description());
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception& other) {
        return QString::fromUtf8(other.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void showFatal(ProgramHost& host, QWidget* parent, std::exception_ptr error) noexcept {
    try {
        host.showMessage(parent, ProgramHost::BoxKind::Fatal, QString::fromUtf8(kProgramName),
                         describe(std::move(error)));
    } catch (...) {
        // The box itself failed; the program ends all the same.
    }
}

}  // namespace

void HandlerBoundary::end(int status) {
    ended_ = true;
    host_.endProgram(status);
}

void HandlerBoundary::stopIfEnded() const {
    if (ended_) {
        throw ProgramEnded{};
    }
}

void HandlerBoundary::report(std::exception_ptr error) noexcept {
    // Ended before the box shows, so nothing that runs while it waits can
    // carry on or raise a second report.
    ended_ = true;
    reportingError_ = true;
    showFatal(host_, &boxParent_, std::move(error));
    reportingError_ = false;
    host_.endProgram(kErrorExitStatus);
}

bool runStartUp(ProgramHost& host, const std::function<void()>& work) noexcept {
    try {
        work();
        return true;
    } catch (...) {
        showFatal(host, nullptr, std::current_exception());
    }
    host.endProgram(HandlerBoundary::kErrorExitStatus);
    return false;
}

}  // namespace keyflip
