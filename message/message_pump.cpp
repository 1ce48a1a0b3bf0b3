#include "message_pump.h"

#include "midi_status.h"
#include "rewrite_rules.h"

#include <charconv>

namespace keyflip {

namespace {

struct DecimalText {
    char digits[8];
    std::size_t length;
    std::string_view view() const { return {digits, length}; }
};

DecimalText decimal(std::int16_t value) {
    DecimalText text{};
    const auto result = std::to_chars(text.digits, text.digits + sizeof text.digits, value);
    text.length = static_cast<std::size_t>(result.ptr - text.digits);
    return text;
}

// Channel 1 is the low four bits at 0: the class value itself.
bool isChannelOneControlChange(const ShortMessage& message) {
    return message.status == midi::kControlChange;
}

// The wheel rule is the only one that changes a status: a channel-1 Control
// Change that leaves as a Note On is the wheel, whatever its controller
// number was before the mirror.
bool isWheel(const ShortMessage& incoming, const ShortMessage& outgoing) {
    return isChannelOneControlChange(incoming) && outgoing.status == midi::kNoteOn;
}

}  // namespace

MessagePump::MessagePump(InputPortMembers& input, OutputPortMembers& output,
                         const RewriteSettings& settings, MessageDisplay& display)
    : input_(input), output_(output), settings_(settings), display_(display) {
}

void MessagePump::run() {
    bool passedOne = false;
    ShortMessage last;
    while (input_.pendingCount() > 0) {
        ShortMessage incoming;
        incoming.status = input_.msgStatus();
        incoming.data1 = input_.msgData1();
        incoming.data2 = input_.msgData2();

        const ShortMessage outgoing = rewriteKeepingHeldPitch(incoming);
        send(outgoing);
        input_.setPortCommand(MSG_DROP);

        passedOne = true;
        last = outgoing;
    }
    // Nothing repaints during a run, so the boxes written once at its end
    // show what writing them after every message would, for a fraction of
    // the cost: in a burst they were most of the UI thread's time.
    if (passedOne) {
        display_.setStatusText(decimal(last.status).view());
        display_.setData1Text(decimal(last.data1).view());
        display_.setData2Text(decimal(last.data2).view());
    }
}

void MessagePump::releaseHeldNotes() {
    heldNotes_.releaseAll([this](int channel, std::int16_t pitch) {
        send({static_cast<std::int16_t>(midi::kNoteOff | channel), pitch, 0});
    });
    wheelNotes_.releaseAll([this](std::int16_t pitch) { send({midi::kNoteOff, pitch, 0}); });
}

// A Note Off for a key whose Note On we sent goes out on the pitch that is
// sounding, whatever transpose or reverse say now. A controller that turned
// wheel notes on releases them when it comes back to 0, whatever the rules
// make of that message now: the rest of the wheel ends the wheel note of the
// moment, as the rule says, and the other pitches it turned on are released
// first, oldest first, in the rest's own form, so the rest is still the last
// message sent.
ShortMessage MessagePump::rewriteKeepingHeldPitch(const ShortMessage& incoming) {
    if (isNoteOff(incoming)) {
        if (const auto sounding = heldNotes_.release(incoming)) {
            return {incoming.status, *sounding, incoming.data2};
        }
    }
    const ShortMessage outgoing = rewrite(incoming, settings_);
    if (isNoteOn(incoming)) {
        heldNotes_.remember(incoming, outgoing.data1);
    } else if (isWheel(incoming, outgoing) && isNoteOn(outgoing)) {
        wheelNotes_.turnedOn(incoming.data1, outgoing.data1);
    } else if (isChannelOneControlChange(incoming) && incoming.data2 == 0) {
        // A rest that is no wheel note by the rules (reverse was pressed
        // while the wheel was up) releases every pitch it turned on.
        const std::int16_t restPitch = isWheel(incoming, outgoing) ? outgoing.data1 : -1;
        wheelNotes_.rest(incoming.data1, restPitch, [this](std::int16_t pitch) {
            send({midi::kNoteOn, pitch, 0});
        });
    }
    return outgoing;
}

void MessagePump::send(const ShortMessage& message) {
    output_.setMsgStatus(message.status);
    output_.setMsgData1(message.data1);
    output_.setMsgData2(message.data2);
    output_.setPortCommand(MSG_SEND);
}

}  // namespace keyflip
