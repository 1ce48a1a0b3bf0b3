#include "window_phrase.h"

#include "app_test_support.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

namespace keyflip::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kArrivalLimit{5000};

WireMessage wire(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    return WireMessage{{status, data1, data2}, 3};
}

QString describe(const std::vector<WireMessage>& messages) {
    QStringList parts;
    for (const auto& m : messages) {
        parts.append(QStringLiteral("(%1 %2 %3)").arg(m.bytes[0]).arg(m.bytes[1]).arg(m.bytes[2]));
    }
    return parts.join(QLatin1Char(' '));
}

bool selectByText(QComboBox& list, const std::string& text) {
    const int index = list.findText(QString::fromStdString(text));
    list.setCurrentIndex(index);
    return index >= 0;
}

// Runs the window's event loop until pred holds or the limit has passed.
bool waitFor(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + kArrivalLimit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(200us);
    }
    return true;
}

}  // namespace

std::vector<WireMessage> phraseOutput() {
    return {wire(0x90, 60, 100), wire(0x90, 66, 90), wire(0x91, 115, 80), wire(0x80, 60, 0),
            wire(0x90, 30, 70),  wire(0x80, 66, 0),  wire(0x81, 115, 0),  wire(0x80, 30, 0)};
}

bool playPhrase(MidiBackend& backend, const PhrasePeers& peers, QString& failure) {
    RecordingHost host;
    bool listed = true;
    host.onModal = [&](MIDISetupForm& form) {
        listed = selectByText(*form.ComboMidiIn, peers.keyboardName) &&
                 selectByText(*form.ComboMidiOut, peers.synthName);
        form.CmdOk->click();
    };
    frmMain window(backend, host);
    window.show();

    QTest::mouseClick(window.Command1, Qt::LeftButton);
    if (!listed) {
        failure = QStringLiteral("MIDI Setup does not list %1 and %2")
                      .arg(QString::fromStdString(peers.keyboardName),
                           QString::fromStdString(peers.synthName));
        return false;
    }
    if (host.modalShows != 1 || window.MIDIInput1->portState() <= PORT_STATE_OPEN) {
        failure = QStringLiteral("\"go\" did not set up and start the ports");
        return false;
    }

    std::vector<WireMessage> expected;
    auto play = [&](WireMessage in, WireMessage out) {
        expected.push_back(out);
        peers.play(in);
        if (!waitFor([&] { return peers.heard().size() >= expected.size(); })) {
            failure = QStringLiteral("expected %1, received %2")
                          .arg(describe(expected), describe(peers.heard()));
            return false;
        }
        return true;
    };

    // Transpose 0, reverse off: through unchanged.
    if (!play(wire(0x90, 60, 100), wire(0x90, 60, 100))) return false;
    window.vslidertranspose->setValue(2);
    if (!play(wire(0x90, 64, 90), wire(0x90, 66, 90))) return false;
    QTest::mouseClick(window.reverse, Qt::LeftButton);
    if (!play(wire(0x91, 10, 80), wire(0x91, 115, 80))) return false;
    // The first key's Note Off reaches the pitch it sounds at.
    if (!play(wire(0x80, 60, 0), wire(0x80, 60, 0))) return false;
    // The wheel on channel 1 plays the wheel note, whatever reverse does.
    window.wheelnote->setValue(30);
    if (!play(wire(0xB0, 126, 70), wire(0x90, 30, 70))) return false;

    if (window.message->text() != "144" || window.data1->text() != "30" ||
        window.data2->text() != "70") {
        failure = QStringLiteral("the boxes show %1 %2 %3")
                      .arg(window.message->text(), window.data1->text(), window.data2->text());
        return false;
    }
    if (peers.heard() != expected) {
        failure = QStringLiteral("received %1").arg(describe(peers.heard()));
        return false;
    }

    // "stop" releases what still sounds as the input stops: first the keys
    // still held, 66 on channel 1 and 115 on channel 2, then the wheel's
    // pitch.
    QTest::mouseClick(window.stopbutton, Qt::LeftButton);
    if (host.endStatuses != std::vector<int>{0}) {
        failure = QStringLiteral("\"stop\" did not end the program");
        return false;
    }
    const std::size_t beforeStop = expected.size();
    const bool released = waitFor([&] { return peers.heard().size() >= beforeStop + 3; });
    const auto received = peers.heard();
    const std::vector<WireMessage> noteOffs(
        received.begin() + static_cast<std::ptrdiff_t>(std::min(beforeStop, received.size())),
        received.end());
    const std::vector<WireMessage> expectedOffs = {wire(0x80, 66, 0), wire(0x81, 115, 0),
                                                   wire(0x80, 30, 0)};
    if (!released || noteOffs != expectedOffs) {
        failure = QStringLiteral("after \"stop\": %1").arg(describe(noteOffs));
        return false;
    }
    return true;
}

}  // namespace keyflip::testing
