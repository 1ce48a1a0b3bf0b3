// Messages through the running program: the controls feed the rules from
// the very next message on, and the three boxes show the last one sent.

#include "app_test_support.h"

#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

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
    app.play({176, 1, 0});
    QCOMPARE(app.sentMessages().back(), (ShortMessage{144, 70, 0}));
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

QTEST_MAIN(MessageFlowTest)
#include "tst_message_flow.moc"
