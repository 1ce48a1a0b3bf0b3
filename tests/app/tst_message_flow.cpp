// Messages through the running program: the controls feed the rules from
// the very next message on, and the three boxes show the last one sent.

#include "app_test_support.h"

#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <algorithm>
#include <tuple>
#include <vector>

using keyflip::ShortMessage;
using keyflip::testing::AppFixture;

namespace {

QStringList shown(const keyflip::frmMain& form) {
    return {form.message->text(), form.data1->text(), form.data2->text()};
}

}  // namespace

class MessageFlowTest : public QObject {
    Q_OBJECT

private slots:
    void boxesShowTheLastMessageSent();
    void transposeBarFeedsTheNextMessage_data();
    void transposeBarFeedsTheNextMessage();
    void wheelNoteBarFeedsTheNextMessage();
    void reverseTwiceRestoresTheMapping();
    void unsendableResultShowsNoBox();
    void vanishedKeyboardsLastMessagesPassAndItsHeldNotesAreReleased();
    void refusedSendIsReportedAfterTheRunSoNoRunNestsInAnother();
    void flakyKeyboardPlaysOnWithOneBoxWhileItWaits();
    void keyHeldThroughSetupEndsOnThePitchItsNextPressSounds();
};

void MessageFlowTest::boxesShowTheLastMessageSent() {
    AppFixture app;
    app.startAndClear();
    QVERIFY(app.backend.deliver(ShortMessage{144, 60, 100}));
    QVERIFY(app.backend.deliver(ShortMessage{176, 7, 90}));
    QVERIFY(app.backend.deliver(ShortMessage{192, 5, 0}));
    QTRY_COMPARE(app.sentMessages().size(), std::size_t{3});
    QCOMPARE(app.sentMessages(),
             (std::vector<ShortMessage>{{144, 60, 100}, {176, 7, 90}, {192, 5, 0}}));
    QCOMPARE(shown(*app.form), (QStringList{"192", "5", "0"}));
    // Each message is sent before it is dropped from the input.
    QCOMPARE(app.commands(),
             (QStringList{"out.PortCommand <- 7", "in.PortCommand <- 6", "out.PortCommand <- 7",
                          "in.PortCommand <- 6", "out.PortCommand <- 7", "in.PortCommand <- 6"}));
}

void MessageFlowTest::transposeBarFeedsTheNextMessage_data() {
    QTest::addColumn<int>("transpose");
    QTest::addColumn<int>("sentNote");
    QTest::newRow("0") << 0 << 60;
    QTest::newRow("2") << 2 << 62;
    QTest::newRow("12") << 12 << 72;
}

void MessageFlowTest::transposeBarFeedsTheNextMessage() {
    QFETCH(int, transpose);
    QFETCH(int, sentNote);
    AppFixture app;
    app.startAndClear();
    app.play({144, 50, 90});
    app.form->vslidertranspose->setValue(transpose);
    app.play({144, 60, 90});
    QCOMPARE(app.sentMessages().back(),
             (ShortMessage{144, static_cast<std::int16_t>(sentNote), 90}));
    QCOMPARE(shown(*app.form), (QStringList{"144", QString::number(sentNote), "90"}));
}

void MessageFlowTest::wheelNoteBarFeedsTheNextMessage() {
    AppFixture app;
    app.startAndClear();
    app.play({176, 1, 100});
    QCOMPARE(app.sentMessages().back(), (ShortMessage{144, 64, 100}));
    app.form->wheelnote->setValue(70);
    app.play({176, 1, 90});
    QCOMPARE(app.sentMessages().back(), (ShortMessage{144, 70, 90}));
    // The rest also ends the pitch the wheel turned on before the bar moved.
    QVERIFY(app.backend.deliver({176, 1, 0}));
    QTRY_COMPARE(app.backend.sent().size(), std::size_t{4});
    QCOMPARE(app.sentMessages(), (std::vector<ShortMessage>{
                                     {144, 64, 100}, {144, 70, 90}, {144, 64, 0}, {144, 70, 0}}));
    QCOMPARE(shown(*app.form), (QStringList{"144", "70", "0"}));
}

void MessageFlowTest::reverseTwiceRestoresTheMapping() {
    AppFixture app;
    app.startAndClear();
    app.form->reverse->click();
    app.play({144, 60, 100});
    QCOMPARE(app.sentMessages().back(), (ShortMessage{144, 67, 100}));
    app.play({176, 126, 33});
    QCOMPARE(app.sentMessages().back(), (ShortMessage{144, 64, 33}));
    app.form->reverse->click();
    app.play({144, 61, 100});
    QCOMPARE(app.sentMessages().back(), (ShortMessage{144, 61, 100}));
    app.play({176, 126, 33});
    QCOMPARE(app.sentMessages().back(), (ShortMessage{176, 126, 33}));
}

// Note 127 moved up 12 does not fit on the wire: the port reports code 8,
// which shows nothing, and the boxes still show what was sent out.
void MessageFlowTest::unsendableResultShowsNoBox() {
    AppFixture app;
    app.startAndClear();
    app.form->vslidertranspose->setValue(12);
    QVERIFY(app.backend.deliver(ShortMessage{159, 127, 64}));
    QTRY_COMPARE(shown(*app.form), (QStringList{"159", "139", "64"}));
    QVERIFY(app.host.boxes.empty());
    QVERIFY(app.backend.sent().empty());
    QVERIFY(app.host.endStatuses.empty());
}

// A keyboard program sends its Note Offs as it quits: those that arrived
// before the loss is heard of still go out, and the notes it left held are
// released on the pitches that sound.
void MessageFlowTest::vanishedKeyboardsLastMessagesPassAndItsHeldNotesAreReleased() {
    AppFixture app;
    app.startAndClear();
    app.form->vslidertranspose->setValue(2);
    app.play({144, 60, 100});
    app.play({145, 40, 100});
    app.form->vslidertranspose->setValue(5);
    app.play({144, 60, 90});  // struck again before its Note Off
    app.play({144, 70, 100});
    app.backend.clearSent();
    // Arrived, not yet passed on, when the keyboard goes.
    QVERIFY(app.backend.deliver(ShortMessage{129, 40, 0}));
    QVERIFY(app.backend.deliver(ShortMessage{144, 60, 0}));
    app.backend.loseConnection(keyflip::PortSide::Input, QStringLiteral("The keyboard went away."));

    const auto sent = app.sentMessages();
    QCOMPARE(std::vector<ShortMessage>(sent.begin(),
                                       sent.begin() + std::min<std::size_t>(2, sent.size())),
             (std::vector<ShortMessage>{{129, 42, 0}, {144, 62, 0}}));
    std::vector<ShortMessage> released(sent.begin() + std::min<std::size_t>(2, sent.size()),
                                       sent.end());
    std::sort(released.begin(), released.end(), [](const ShortMessage& a, const ShortMessage& b) {
        return std::tie(a.status, a.data1) < std::tie(b.status, b.data1);
    });
    QCOMPARE(released, (std::vector<ShortMessage>{{128, 65, 0}, {128, 75, 0}}));
    QCOMPARE(app.form->MIDIInput1->portState(), std::int16_t{0});
    QCOMPARE(app.form->MIDIOutput1->portState(), std::int16_t{2});
    QCOMPARE(app.host.boxTexts(), QStringList{"The keyboard went away."});

    // The output owes nothing more.
    app.backend.clearSent();
    app.form->stopbutton->click();
    QVERIFY(app.backend.sent().empty());
}

// The box for refused messages waits for the user and runs the event loop.
// Shown from inside a send, that loop would run the pump again over the
// message the outer run still holds: sent twice, or a later one dropped
// unsent. Reported after the run, every message goes out once, in order.
void MessageFlowTest::refusedSendIsReportedAfterTheRunSoNoRunNestsInAnother() {
    AppFixture app;
    app.startAndClear();
    app.host.whileBoxWaits = [&](const keyflip::testing::RecordingHost::Box&) {
        // More arrives while the user reads the box.
        QVERIFY(app.backend.deliver(ShortMessage{176, 7, 4}));
        QTRY_COMPARE(app.backend.sent().size(), std::size_t{3});
    };
    app.backend.refuseSends(1);
    QVERIFY(app.backend.deliver(ShortMessage{176, 7, 1}));
    QVERIFY(app.backend.deliver(ShortMessage{176, 7, 2}));
    QVERIFY(app.backend.deliver(ShortMessage{176, 7, 3}));
    QTRY_COMPARE(app.host.boxes.size(), std::size_t{1});
    QCOMPARE(app.sentMessages(),
             (std::vector<ShortMessage>{{176, 7, 2}, {176, 7, 3}, {176, 7, 4}}));
    QVERIFY(app.host.boxes[0].text.startsWith(QStringLiteral("Outgoing MIDI messages were lost")));
    QCOMPARE(app.form->MIDIInput1->pendingCount(), std::int16_t{0});
    QCOMPARE(shown(*app.form), (QStringList{"176", "7", "4"}));
}

QTEST_MAIN(MessageFlowTest)
// A cable that goes and comes back while the first box still waits: the
// keyboard plays again each time it is back, with the transposition as set,
// and the one box says it all.
void MessageFlowTest::flakyKeyboardPlaysOnWithOneBoxWhileItWaits() {
    AppFixture app;
    app.startAndClear();
    app.form->vslidertranspose->setValue(3);
    int returns = 0;
    app.host.whileBoxWaits = [&](const keyflip::testing::RecordingHost::Box&) {
        while (returns < 3) {
            app.backend.plugIn(keyflip::PortSide::Input, "Keys A");
            ++returns;
            app.play({144, static_cast<std::int16_t>(60 + returns), 100});
            app.backend.unplug(keyflip::PortSide::Input);
        }
        app.backend.plugIn(keyflip::PortSide::Input, "Keys A");
    };
    app.backend.unplug(keyflip::PortSide::Input);
    QCOMPARE(returns, 3);
    app.play({128, 64, 0});
    // Each leaving released the note its keyboard held.
    QCOMPARE(app.sentMessages(), (std::vector<ShortMessage>{{144, 64, 100},
                                                            {128, 64, 0},
                                                            {144, 65, 100},
                                                            {128, 65, 0},
                                                            {144, 66, 100},
                                                            {128, 66, 0},
                                                            {128, 67, 0}}));
    QCOMPARE(app.host.boxTexts(),
             QStringList{"The MIDI input device \"Keys A\" went away. Keyflip will connect to it "
                         "again as soon as it is back."});
    QCOMPARE(shown(*app.form), (QStringList{"128", "67", "0"}));
}

// MIDI Setup closes and reopens the input, and until "go" nothing the
// keyboard sends is passed on, a held key's Note Off included. The note it
// held is released as the input closes, and the key's next press and release
// pair up: no stale memory of the earlier pitch answers the new one.
void MessageFlowTest::keyHeldThroughSetupEndsOnThePitchItsNextPressSounds() {
    AppFixture app;
    app.startAndClear();
    app.play({144, 60, 100});
    app.backend.clearSent();
    app.setUpAndClear();
    QVERIFY(!app.backend.deliver(ShortMessage{128, 60, 0}));
    app.form->vslidertranspose->setValue(2);
    app.startAndClear();
    app.play({144, 60, 100});
    app.play({128, 60, 0});
    QCOMPARE(app.sentMessages(),
             (std::vector<ShortMessage>{{128, 60, 0}, {144, 62, 100}, {128, 62, 0}}));
    app.backend.clearSent();
    app.form->stopbutton->click();
    QVERIFY(app.backend.sent().empty());
}

#include "tst_message_flow.moc"
