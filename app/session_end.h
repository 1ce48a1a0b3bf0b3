#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QGuiApplication;

namespace keyflip {

class frmMain;

// The system ending the program without the user pressing "stop": a logout,
// a shutdown, a termination signal. It asks through endRequested, and the
// window ends as File > Exit does. Where the system may end the program with
// no handler left to run, the quiet release runs then instead, so that no
// note is left sounding.
class SessionEnd : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Releases every sounding note with no box shown; empty: nothing.
    virtual void setQuietRelease(std::function<void()> release) = 0;

signals:
    void endRequested();
};

// The platform's: POSIX termination signals on Linux, what Qt reports of
// logout and shutdown elsewhere.
std::unique_ptr<SessionEnd> watchSessionEnd();

// Logout and shutdown as Qt reports them: a session that asks the program to
// save (commitDataRequest) gets the quiet release, since the program must
// not end there and a box could not be answered; the quitting that follows
// (aboutToQuit, after which Windows ends the process at once) ends the
// window as a signal would.
std::unique_ptr<SessionEnd> watchQtSessionEnd(QGuiApplication& application);

// Ends the window when the system asks, and releases its notes quietly where
// it may not ask, for as long as the window lives.
void endWithTheSession(SessionEnd& sessionEnd, frmMain& window);

}  // namespace keyflip
