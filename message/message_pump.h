#pragma once

#include "held_notes.h"
#include "port_members.h"
#include "rewrite_settings.h"
#include "short_message.h"
#include "wheel_notes.h"

#include <string_view>

namespace keyflip {

// Where the pump shows the last message sent: three texts, written in this
// order once at the end of a run, after the port commands of its last message.
class MessageDisplay {
public:
    virtual ~MessageDisplay() = default;
    virtual void setStatusText(std::string_view text) = 0;
    virtual void setData1Text(std::string_view text) = 0;
    virtual void setData2Text(std::string_view text) = 0;
};

// Moves every waiting message from the input to the output through the
// rewrite rules, reading PendingCount again before each one so that messages
// arriving during a run leave in the same run.
class MessagePump {
public:
    MessagePump(InputPortMembers& input, OutputPortMembers& output, const RewriteSettings& settings,
                MessageDisplay& display);

    void run();
    // The input these notes came from is gone and will send no Note Offs:
    // each note still held from it, and each pitch its wheel turned on, gets
    // its Note Off, on the pitch sounding.
    void releaseHeldNotes();

private:
    ShortMessage rewriteKeepingHeldPitch(const ShortMessage& incoming);
    void send(const ShortMessage& message);

    InputPortMembers& input_;
    OutputPortMembers& output_;
    const RewriteSettings& settings_;
    MessageDisplay& display_;
    HeldNotes heldNotes_;
    WheelNotes wheelNotes_;
};

}  // namespace keyflip
