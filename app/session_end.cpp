#include "session_end.h"

#include "main_window.h"

#include <QGuiApplication>
#include <QSessionManager>

#include <utility>

namespace keyflip {

namespace {

class QtSessionEnd : public SessionEnd {
public:
    explicit QtSessionEnd(QGuiApplication& application) {
        connect(&application, &QGuiApplication::commitDataRequest, this, [this] {
            if (release_) {
                release_();
            }
        });
        connect(&application, &QCoreApplication::aboutToQuit, this, &SessionEnd::endRequested);
    }

    void setQuietRelease(std::function<void()> release) override { release_ = std::move(release); }

private:
    std::function<void()> release_;
};

}  // namespace

std::unique_ptr<SessionEnd> watchQtSessionEnd(QGuiApplication& application) {
    return std::make_unique<QtSessionEnd>(application);
}

void endWithTheSession(SessionEnd& sessionEnd, frmMain& window) {
    sessionEnd.setQuietRelease([&window] { window.ReleaseQuietly(); });
    QObject::connect(&window, &QObject::destroyed, &sessionEnd,
                     [&sessionEnd] { sessionEnd.setQuietRelease(nullptr); });
    QObject::connect(&sessionEnd, &SessionEnd::endRequested, &window,
                     [&window] { window.Terminate(); });
}

}  // namespace keyflip
