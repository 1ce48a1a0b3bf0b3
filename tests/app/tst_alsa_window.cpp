// The whole program on the ALSA sequencer: the main window driven as a user
// would, a hardware interface's input (a virtual raw MIDI device) playing into
// it and another one's output listening behind it, their bytes on the raw side.
#include "alsa/alsa_backend.h"
#include "virmidi_device.h"
#include "window_phrase.h"

#include <QtTest>

#include <cstdlib>
#include <memory>

using namespace keyflip;
using namespace keyflip::alsatest;

class AlsaWindowTest : public QObject {
    Q_OBJECT

private slots:
    void messagesFlowThroughTheWindowAsTheControlsSay();
};

void AlsaWindowTest::messagesFlowThroughTheWindowAsTheControlsSay() {
    const auto devices = findVirmidiDevices();
    if (devices.size() < 2) {
        QVERIFY2(std::getenv("KEYFLIP_REQUIRE_ALSA") == nullptr,
                 "two virtual raw MIDI devices are required here");
        QSKIP(
            "*** no ALSA sequencer with virtual raw MIDI devices: run inside "
            "tests/alsa-vm/run-in-vm ***");
    }
    RawMidi keyboard(devices[0].rawName);
    RawMidi synth(devices[1].rawName);
    QVERIFY(keyboard.ok() && synth.ok());
    const std::unique_ptr<MidiBackend> backend = createAlsaBackend();
    QVERIFY(backend != nullptr);

    std::vector<std::uint8_t> synthBytes;
    const testing::PhrasePeers peers{devices[0].portName, devices[1].portName,
                                     [&](const WireMessage& message) {
                                         const auto bytes = message.view();
                                         QVERIFY(keyboard.write({bytes.begin(), bytes.end()}));
                                     },
                                     [&] {
                                         synth.readInto(synthBytes);
                                         return parseStream(synthBytes);
                                     }};
    QString failure;
    QVERIFY2(testing::playPhrase(*backend, peers, failure), qPrintable(failure));
}

QTEST_MAIN(AlsaWindowTest)
#include "tst_alsa_window.moc"
