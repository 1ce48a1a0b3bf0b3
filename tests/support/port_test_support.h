#pragma once

#include "in_memory_backend.h"
#include "message_pump.h"
#include "midi_port.h"
#include "short_message_printing.h"

#include <QCoreApplication>

#include <string>
#include <vector>

namespace keyflip::testing_support {

// Settings a test sets directly.
struct PlainSettings : RewriteSettings {
    std::int16_t transpose = 0;
    bool reverse = false;
    std::int16_t wheel = 64;
    std::int16_t transposeAmount() const override { return transpose; }
    bool reverseFlag() const override { return reverse; }
    std::int16_t wheelNote() const override { return wheel; }
};

// A display that keeps the texts and logs each write into the port log, so
// tests see the boxes' writes in order with the port accesses.
class LoggingDisplay : public MessageDisplay {
public:
    explicit LoggingDisplay(RecordingAccessLog& log) : log_(log) {}
    void setStatusText(std::string_view text) override { write("message", status, text); }
    void setData1Text(std::string_view text) override { write("data1", data1, text); }
    void setData2Text(std::string_view text) override { write("data2", data2, text); }

    std::string status, data1, data2;

private:
    void write(const char* box, std::string& kept, std::string_view text) {
        kept = text;
        log_.recordWrite("display", box, text);
    }
    RecordingAccessLog& log_;
};

struct RecordedError {
    int code;
    std::string text;
    friend bool operator==(const RecordedError&, const RecordedError&) = default;
};

// Both ports on an in-memory system, with their PortErrors recorded.
struct InMemoryPorts {
    InMemoryBackend backend;
    MidiInputPort input{backend};
    MidiOutputPort output{backend};
    std::vector<RecordedError> errors;

    InMemoryPorts() {
        auto record = [this](qint16& code, QString& text) {
            errors.push_back({code, text.toStdString()});
        };
        QObject::connect(&input, &MidiInputPort::PortError, record);
        QObject::connect(&output, &MidiOutputPort::PortError, record);
    }

    void openAndStartBoth() {
        input.deviceCount();
        output.deviceCount();
        input.setDeviceIndex(static_cast<std::int16_t>(backend.sourceNames().size()));
        input.setPortCommand(PORT_OPEN);
        output.setDeviceIndex(-1);
        output.setPortCommand(PORT_OPEN);
        input.setPortCommand(PORT_START);
        output.setPortCommand(PORT_START);
    }
};

inline void processPendingEvents() {
    QCoreApplication::processEvents();
}

}  // namespace keyflip::testing_support
