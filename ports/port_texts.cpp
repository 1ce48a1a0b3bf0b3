#include "port_texts.h"

#include "backend_selection.h"

namespace keyflip::texts {

namespace {

QString sideWord(PortSide side) {
    return side == PortSide::Input ? QStringLiteral("input") : QStringLiteral("output");
}

QString variable() {
    return QLatin1String(kMidiSystemVariable);
}

// MIDI Setup keeps the lists it read while nothing could be reached when it
// is shown again after Ok; only Cancel makes it read them anew.
QString thenSetup(const QString& remedy) {
    return remedy + QStringLiteral(
                        " Then choose MIDI > Setup; if it lists no devices, press Cancel there "
                        "and choose MIDI > Setup again.");
}

}  // namespace

QString quoted(const std::string& name) {
    return QStringLiteral("\"%1\"").arg(QString::fromStdString(name));
}

QString deviceWord(PortSide side) {
    return side == PortSide::Input ? QStringLiteral("MIDI input device")
                                   : QStringLiteral("MIDI output device");
}

QString noDeviceNumber(PortSide side, std::int16_t index) {
    return QStringLiteral("There is no MIDI %1 device number %2.").arg(sideWord(side)).arg(index);
}

QString deviceLeft(PortSide side, const std::string& name) {
    return QStringLiteral(
               "The MIDI %1 device \"%2\" went away. Keyflip will connect to it again as soon "
               "as it is back.")
        .arg(sideWord(side), QString::fromStdString(name));
}

QString awaitedWhenBack() {
    return QStringLiteral(" Keyflip will connect to it as soon as it is back.");
}

QString notOpen(PortSide side, const std::string* awaitedName) {
    if (awaitedName != nullptr) {
        return QStringLiteral(
                   "The MIDI %1 device \"%2\" is not back yet. Keyflip will connect to it and "
                   "start the %1 as soon as it is back.")
            .arg(sideWord(side), QString::fromStdString(*awaitedName));
    }
    return QStringLiteral("The MIDI %1 is not open.").arg(sideWord(side));
}

QString incomingLost(std::uint64_t count) {
    return QStringLiteral(
               "%1 incoming MIDI messages were lost: they arrived faster than Keyflip could pass "
               "them on.")
        .arg(count);
}

QString outgoingLost(std::uint64_t count) {
    return QStringLiteral(
               "%1 outgoing MIDI messages were lost: the MIDI system did not take them in time.")
        .arg(count);
}

QString outgoingNotTaken() {
    return QStringLiteral(
        "Outgoing MIDI messages were lost: the MIDI system did not take them as fast as they "
        "came.");
}

QString messageNotSent(const ShortMessage& message, std::uint64_t notSentSoFar) {
    return QStringLiteral(
               "(%1, %2, %3) was not sent: a value does not fit in a MIDI message. %4 messages "
               "not sent so far.")
        .arg(message.status)
        .arg(message.data1)
        .arg(message.data2)
        .arg(notSentSoFar);
}

QString deviceNotThere(PortSide side, const std::string& name) {
    return QStringLiteral("The %1 %2 is no longer there.").arg(deviceWord(side), quoted(name));
}

QString deviceNotConnected(PortSide side, const std::string& name) {
    return QStringLiteral("The %1 %2 could not be connected.").arg(deviceWord(side), quoted(name));
}

QString deviceNotConnected(PortSide side, const std::string& name, const QString& reason) {
    return QStringLiteral("The %1 %2 could not be connected: %3.")
        .arg(deviceWord(side), quoted(name), reason);
}

QString deviceNotOpened(PortSide side, const std::string& name, const std::string& why) {
    return QStringLiteral("The %1 %2 could not be opened: %3")
        .arg(deviceWord(side), quoted(name), QString::fromStdString(why));
}

QString sendsNoMidi(PortSide side) {
    return side == PortSide::Input ? QStringLiteral("it does not send MIDI")
                                   : QStringLiteral("it does not receive MIDI");
}

QString alsaReaderFailed() {
    return QStringLiteral(
        "Keyflip can no longer read from the ALSA sequencer. Restart Keyflip to receive MIDI "
        "again.");
}

QString alsaNotOpened(AlsaRefusal refusal, const QString& libraryText) {
    switch (refusal) {
        case AlsaRefusal::NoPermission:
            return QStringLiteral(
                "Permission denied on /dev/snd/seq: this user may not use the ALSA sequencer. "
                "Add the user to the audio group (sudo usermod -aG audio $USER, then log out and "
                "in again), or log in at the computer itself: a session on its own seat is given "
                "the sound devices.");
        case AlsaRefusal::NotLoaded:
            return QStringLiteral(
                "There is no /dev/snd/seq: the kernel's ALSA sequencer is not loaded. Load it "
                "(sudo modprobe snd-seq).");
        case AlsaRefusal::Failed:
            break;
    }
    return QStringLiteral("The ALSA sequencer said %1.").arg(libraryText);
}

QString heldExclusively() {
    return QStringLiteral(
        "another program has connected it for its use alone; close that program's connection, "
        "or connect Keyflip in that program");
}

QString jackServerGone(bool droppedByServer) {
    if (droppedByServer) {
        return QStringLiteral(
            "The JACK server stopped serving Keyflip because it did not answer in time, so the "
            "MIDI ports are gone. Choose MIDI > Setup to connect again.");
    }
    return QStringLiteral(
        "The JACK server has stopped, so the MIDI ports are gone. Start the server again, "
        "then choose MIDI > Setup.");
}

QString jackOpenFailed(JackRefusal refusal, const QString& whySequencerClosed) {
    switch (refusal) {
        case JackRefusal::VersionMismatch:
            return thenSetup(QStringLiteral(
                "The JACK server that is running speaks another protocol version than the JACK "
                "library Keyflip was started with. Use the library that belongs to the server "
                "(jackd2's, or PipeWire's pipewire-jack)."));
        case JackRefusal::SharedMemory:
            return thenSetup(QStringLiteral(
                "Keyflip could not reach the JACK server's shared memory. The server may have "
                "been started by another user or with another /dev/shm; start it as this "
                "user."));
        case JackRefusal::ServerRefused:
            return thenSetup(QStringLiteral(
                "The JACK server refused Keyflip's client (it may be full or shutting down). "
                "Check the server's messages."));
        case JackRefusal::NoServerAndChosen:
            return thenSetup(QStringLiteral("No JACK server is running, and %1 asks for JACK "
                                            "(leave it unset to use the ALSA sequencer). Start a "
                                            "JACK server, or PipeWire's JACK support.")
                                 .arg(variable()));
        case JackRefusal::NoServer:
            break;
    }
    if (whySequencerClosed.isEmpty()) {
        return thenSetup(QStringLiteral(
            "No MIDI system could be reached: the ALSA sequencer cannot be opened and no JACK "
            "server is running. Start a JACK server, or PipeWire's JACK support."));
    }
    return thenSetup(QStringLiteral("No MIDI system could be reached: the ALSA sequencer cannot "
                                    "be opened, and no JACK server is running. %1 Or start a "
                                    "JACK server, or PipeWire's JACK support.")
                         .arg(whySequencerClosed));
}

QString rtMidiOpenFailed(PortSide side, const std::string& name, RtMidiFailure failure,
                         const std::string& detail) {
    QString why;
    switch (failure) {
        case RtMidiFailure::Refused:
            why = QStringLiteral("the MIDI system refused the connection");
            break;
        case RtMidiFailure::Unsupported:
            why = QStringLiteral(
                "this MIDI system has no ports of a program's own; choose a device instead");
            break;
        case RtMidiFailure::OutOfMemory:
            why = QStringLiteral("there is not enough memory");
            break;
        case RtMidiFailure::NoThread:
            why = QStringLiteral("Keyflip could not start the thread that reads it");
            break;
        case RtMidiFailure::Other:
            why = QStringLiteral("the MIDI system reported an error");
            break;
    }
    return QStringLiteral("The %1 %2 could not be opened: %3 (RtMidi: %4)")
        .arg(deviceWord(side), quoted(name), why, QString::fromStdString(detail));
}

QString rtMidiUnreachable(const QString& system) {
    return thenSetup(QStringLiteral("Keyflip cannot reach %1. Start it, or choose another MIDI "
                                    "system in %2.")
                         .arg(system, variable()));
}

QString unknownMidiSystem(const QString& value) {
    return QStringLiteral(
               "%1 is set to \"%2\", which names no MIDI system this program knows. Set it to "
               "\"alsa\" or \"jack\", or leave it unset to let the program choose.")
        .arg(variable(), value);
}

QString jackNotBuilt() {
    return QStringLiteral("%1 asks for JACK, and this build of Keyflip has no JACK.")
        .arg(variable());
}

QString alsaChosenButClosed(const QString& why) {
    return QStringLiteral(
               "%1 asks for the ALSA sequencer, and it cannot be opened. %2 Or set %1 to "
               "\"jack\", or leave it unset.")
        .arg(variable(), why);
}

QString noOtherMidiSystem(const QString& why) {
    if (why.isEmpty()) {
        return QStringLiteral(
            "The computer's MIDI system could not be opened, and this build of Keyflip has no "
            "other.");
    }
    return QStringLiteral(
               "The computer's MIDI system could not be opened, and this build of Keyflip has no "
               "other. %1")
        .arg(why);
}

}  // namespace keyflip::texts
