#include "window_rig.h"

#include "jack/jack_backend.h"
#include "message_checks.h"
#include "wire_format.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QPushButton>

#include <jack/jack.h>

namespace keyflip::reliability {

namespace {

using checks::kUnderThreadSanitizer;

void choose(QComboBox& combo, const std::string& name) {
    const int index = combo.findText(QString::fromStdString(name));
    if (index >= 0) {
        combo.setCurrentIndex(index);
    }
}

}  // namespace

WindowRig::WindowRig() : backend(createJackBackend()) {
    host.onModal = [this](MIDISetupForm& setup) {
        choose(*setup.ComboMidiIn, inputDevice);
        choose(*setup.ComboMidiOut, outputDevice);
        RecordingHost::clickOk(setup);
    };
    form = std::make_unique<frmMain>(*backend, host);
    // Painting runs on Qt's thread pool, which ThreadSanitizer cannot see
    // into (Qt is not instrumented); under it the window stays hidden.
    if (!kUnderThreadSanitizer) {
        form->show();
    }
}

WindowRig::~WindowRig() {
    destroy();
}

void WindowRig::pressGo() {
    form->Command1->click();
}

void WindowRig::destroy() {
    form.reset();
    // An unloaded dialog waits for the event loop to be deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    backend.reset();
}

std::size_t WindowRig::portErrorBoxes() const {
    return portErrorTexts().size();
}

std::vector<QString> WindowRig::portErrorTexts() const {
    std::vector<QString> texts;
    for (const auto& box : host.boxes) {
        if (box.kind == ProgramHost::BoxKind::PortError) {
            texts.push_back(box.text);
        }
    }
    return texts;
}

std::vector<std::string> keyflipPorts(jack_client_t* observer) {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(observer, "^Keyflip", nullptr, 0);
    if (ports == nullptr) {
        return names;
    }
    for (const char** port = ports; *port != nullptr; ++port) {
        names.emplace_back(*port);
    }
    jack_free(static_cast<void*>(ports));
    return names;
}

bool wellFormed(const WireMessage& message) {
    if (message.size < 1 || message.size > 3 || message.bytes[0] < 0x80) {
        return false;
    }
    if (shortMessageLength(message.bytes[0]) != message.size) {
        return false;
    }
    for (std::size_t index = 1; index < message.size; ++index) {
        if (message.bytes[index] >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string describe(const std::vector<WireMessage>& messages, std::size_t limit) {
    std::string text;
    for (std::size_t index = 0; index < messages.size() && index < limit; ++index) {
        text += '[' + jacktest::hexBytes(messages[index]) + "] ";
    }
    if (messages.size() > limit) {
        text += "... (" + std::to_string(messages.size()) + " in all)";
    }
    return text;
}

}  // namespace keyflip::reliability
