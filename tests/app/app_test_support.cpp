#include "app_test_support.h"

#include "wire_format.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QTest>

namespace keyflip::testing {

namespace {

QStringList toStringList(const std::vector<std::string>& lines) {
    QStringList result;
    for (const auto& line : lines) {
        result.append(QString::fromStdString(line));
    }
    return result;
}

}  // namespace

void RecordingHost::showModal(MIDISetupForm& form) {
    ++modalShows;
    if (onModal) {
        onModal(form);
    }
}

void RecordingHost::showMessage(QWidget*, BoxKind kind, const QString& title, const QString& text) {
    boxes.push_back({kind, title, text});
    if (whileBoxWaits) {
        whileBoxWaits(boxes.back());
    }
}

QStringList RecordingHost::boxTexts() const {
    QStringList texts;
    for (const auto& box : boxes) {
        texts.append(box.text);
    }
    return texts;
}

void RecordingHost::clickOk(MIDISetupForm& form) {
    form.CmdOk->click();
}

void RecordingHost::clickCancel(MIDISetupForm& form) {
    form.CmdCancel->click();
}

AppFixture::AppFixture(std::vector<std::string> sources, std::vector<std::string> destinations) {
    backend.setSources(std::move(sources));
    backend.setDestinations(std::move(destinations));
    form = std::make_unique<frmMain>(backend, host);
}

AppFixture::~AppFixture() {
    form.reset();
    // An unloaded dialog waits for the event loop to be deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QStringList AppFixture::commands() {
    return toStringList(backend.log().commands());
}

QStringList AppFixture::accesses() {
    return toStringList(backend.log().lines());
}

void AppFixture::setUpAndClear() {
    form->mnuMidiSetup->trigger();
    clearLog();
}

void AppFixture::startAndClear() {
    form->Command1->click();
    clearLog();
}

void AppFixture::play(ShortMessage message) {
    const std::size_t before = backend.sent().size();
    QVERIFY(backend.deliver(message));
    QTRY_COMPARE(backend.sent().size(), before + 1);
}

std::vector<ShortMessage> AppFixture::sentMessages() const {
    std::vector<ShortMessage> result;
    for (const auto& wire : backend.sent()) {
        if (const auto decoded = decodeShortMessage(wire.view())) {
            result.push_back(*decoded);
        }
    }
    return result;
}

}  // namespace keyflip::testing
