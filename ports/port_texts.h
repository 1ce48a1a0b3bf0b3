#pragma once

// Every sentence the port component shows or says to the user, in one place,
// so that they can be read, compared and translated side by side. The names
// of the program's own ports are here too: the device lists show them.

#include "midi_backend.h"
#include "short_message.h"

#include <QString>

#include <cstdint>
#include <string>

namespace keyflip::texts {

// The program's own ports, as the device lists name them.
inline constexpr const char* kOwnInputName = "Keyflip in";
inline constexpr const char* kOwnOutputName = "Keyflip out";

// A device's name as the sentences show it: in double quotes.
QString quoted(const std::string& name);
// "MIDI input device" or "MIDI output device".
QString deviceWord(PortSide side);

// The ports.
QString noDeviceNumber(PortSide side, std::int16_t index);
QString deviceLeft(PortSide side, const std::string& name);
// Added to a fault for a device chosen while it is away.
QString awaitedWhenBack();
QString notOpen(PortSide side, const std::string* awaitedName);
QString incomingLost(std::uint64_t count);
QString outgoingLost(std::uint64_t count);
QString outgoingNotTaken();
QString messageNotSent(const ShortMessage& message, std::uint64_t notSentSoFar);

// Devices, on every MIDI system.
QString deviceNotThere(PortSide side, const std::string& name);
QString deviceNotConnected(PortSide side, const std::string& name);
QString deviceNotConnected(PortSide side, const std::string& name, const QString& reason);
QString deviceNotOpened(PortSide side, const std::string& name, const std::string& why);
// The reason a device of the wrong direction gives.
QString sendsNoMidi(PortSide side);

// The ALSA sequencer.
QString alsaReaderFailed();
// Why the ALSA sequencer could not be opened.
enum class AlsaRefusal {
    NoPermission,  // this user may not open its device
    NotLoaded,     // there is no device: the kernel's sequencer is not loaded
    Failed,        // anything else, said in the library's words
};
QString alsaNotOpened(AlsaRefusal refusal, const QString& libraryText);
// The reason a device another program holds for itself gives.
QString heldExclusively();
inline constexpr const char* kAlsaReaderNotStopped =
    "Keyflip: the ALSA sequencer's reader did not stop; its client stays open until Keyflip "
    "ends";
inline constexpr const char* kAlsaNotDisconnected =
    "Keyflip: the ALSA sequencer did not disconnect %d:%d from %d:%d (%s)";
inline constexpr const char* kAlsaCodecsFailed =
    "Keyflip cannot create the ALSA sequencer's MIDI event codecs: out of memory";

// JACK.
QString jackServerGone(bool droppedByServer);
// Why the JACK client could not be opened.
enum class JackRefusal {
    VersionMismatch,
    SharedMemory,
    ServerRefused,
    NoServerAndChosen,  // the user asked for JACK
    NoServer,           // tried after the platform's sequencer
};
// whySequencerClosed: why the platform's sequencer, tried first, could not be
// opened, for NoServer.
QString jackOpenFailed(JackRefusal refusal, const QString& whySequencerClosed = {});
inline constexpr const char* kJackNotDisconnected = "Keyflip: JACK did not disconnect %s from %s";
inline constexpr const char* kJackCloseUnconfirmed =
    "Keyflip: the JACK server did not confirm that Keyflip's client closed";

// RtMidi, which serves macOS and Windows. What went wrong, as far as RtMidi
// says: it reports a kind of error and a developer's message.
enum class RtMidiFailure {
    Refused,      // the MIDI system would not make the connection or the port
    Unsupported,  // the MIDI system has no such thing (Windows has no virtual ports)
    OutOfMemory,
    NoThread,  // the thread that reads the input could not be started
    Other,
};
QString rtMidiOpenFailed(PortSide side, const std::string& name, RtMidiFailure failure,
                         const std::string& detail);
QString rtMidiUnreachable(const QString& system);

// The choice of MIDI system.
QString unknownMidiSystem(const QString& value);
QString jackNotBuilt();
// why: what alsaNotOpened said.
QString alsaChosenButClosed(const QString& why);
QString noOtherMidiSystem(const QString& why);

// What the threads' wake-ups could not be made of.
inline constexpr const char* kBackendWakeFailed =
    "Keyflip cannot create the wake-up descriptor of its MIDI system";
inline constexpr const char* kInputWakeFailed =
    "Keyflip cannot create the wake-up descriptor of its MIDI input";

}  // namespace keyflip::texts
