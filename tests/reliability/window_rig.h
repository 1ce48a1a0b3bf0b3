#pragma once

#include "app_test_support.h"
#include "jack_fixture.h"
#include "jack_testkit.h"

#include <QString>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace keyflip::reliability {

using jacktest::JackTest;
using jacktest::MidiReceiver;
using jacktest::MidiSender;
using testing::RecordingHost;

inline constexpr const char* kKeyboardClient = "keyboard";
inline constexpr const char* kSynthClient = "synth";

// The real main window on the real JACK backend, with a recording host in
// place of dialogs and boxes. MIDI Setup picks whatever the rig says.
class WindowRig {
public:
    WindowRig();
    ~WindowRig();
    WindowRig(const WindowRig&) = delete;
    WindowRig& operator=(const WindowRig&) = delete;

    // Devices MIDI Setup chooses on Ok, by the names the lists show.
    std::string inputDevice = std::string(kKeyboardClient) + ":out";
    std::string outputDevice = std::string(kSynthClient) + ":in";

    RecordingHost host;
    std::unique_ptr<MidiBackend> backend;
    std::unique_ptr<frmMain> form;

    // Presses "go" (MIDI Setup opens the first time and Ok is clicked).
    void pressGo();
    // Ends the window and then the backend, as leaving main() does.
    void destroy();

    // Boxes the ports raised, by PortError code: counted from the texts.
    std::size_t portErrorBoxes() const;
    std::vector<QString> portErrorTexts() const;
};

// Names of this process's JACK ports that belong to a client named "Keyflip".
std::vector<std::string> keyflipPorts(jack_client_t* observer);

// Whether every sent event is a well-formed short message: 1 to 3 bytes, the
// length its status asks for, a status first and data bytes after it.
bool wellFormed(const WireMessage& message);

std::string describe(const std::vector<WireMessage>& messages, std::size_t limit = 40);

}  // namespace keyflip::reliability
