// The end of the session where there are no POSIX signals: what Qt reports
// of a logout and a shutdown releases every sounding note, on the window's
// real ports, as a termination signal does on Linux.

#include "app_test_support.h"
#include "session_end.h"

#include <QtGui/private/qguiapplication_p.h>

#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

using keyflip::ShortMessage;
using keyflip::testing::AppFixture;

namespace {

// As Windows and macOS do when the user logs out: the session asks the
// program to save its work.
void askToCommit() {
    static_cast<QGuiApplicationPrivate*>(QObjectPrivate::get(qApp))->commitData();
}

// As the end of the event loop does, and Windows just before it ends the
// process of a session that ends.
void quit() {
    QVERIFY(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
}

}  // namespace

class SessionEndTest : public QObject {
    Q_OBJECT

private slots:
    void theSessionEndingReleasesTheNotes_data();
    void theSessionEndingReleasesTheNotes();
    void quittingAfterStopSendsNothingMore();
};

void SessionEndTest::theSessionEndingReleasesTheNotes_data() {
    QTest::addColumn<bool>("commit");
    QTest::addColumn<bool>("quitting");
    QTest::addColumn<std::vector<int>>("endStatuses");
    // A logout another program may still cancel: the notes go, the program
    // stays, as Qt asks of a program while it commits.
    QTest::newRow("logout asked") << true << false << std::vector<int>{};
    QTest::newRow("quitting") << false << true << std::vector<int>{0};
    QTest::newRow("logout asked, then quitting") << true << true << std::vector<int>{0};
}

void SessionEndTest::theSessionEndingReleasesTheNotes() {
    QFETCH(bool, commit);
    QFETCH(bool, quitting);
    QFETCH(std::vector<int>, endStatuses);
    AppFixture app;
    const auto sessionEnd = keyflip::watchQtSessionEnd(*qApp);
    keyflip::endWithTheSession(*sessionEnd, *app.form);
    app.startAndClear();
    app.form->vslidertranspose->setValue(3);
    app.play({144, 60, 100});
    app.play({153, 36, 90});
    app.backend.clearSent();

    if (commit) {
        askToCommit();
    }
    if (quitting) {
        quit();
    }

    QCOMPARE(app.sentMessages(), (std::vector<ShortMessage>{{128, 63, 0}, {137, 39, 0}}));
    QCOMPARE(app.form->MIDIOutput1->portState(), std::int16_t{0});
    QCOMPARE(app.form->MIDIInput1->portState(), std::int16_t{0});
    QCOMPARE(app.host.endStatuses, endStatuses);
    QVERIFY(app.host.boxes.empty());
}

void SessionEndTest::quittingAfterStopSendsNothingMore() {
    AppFixture app;
    const auto sessionEnd = keyflip::watchQtSessionEnd(*qApp);
    keyflip::endWithTheSession(*sessionEnd, *app.form);
    app.startAndClear();
    app.play({144, 60, 100});
    app.form->stopbutton->click();
    QCOMPARE(app.sentMessages().size(), std::size_t{2});
    quit();
    QCOMPARE(app.sentMessages().size(), std::size_t{2});
    QCOMPARE(app.host.endStatuses, (std::vector<int>{0}));
}

QTEST_MAIN(SessionEndTest)
#include "tst_session_end.moc"
