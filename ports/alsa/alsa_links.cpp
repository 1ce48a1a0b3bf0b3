#include "alsa_links.h"

#include "port_texts.h"

#include <QtGlobal>

#include <cerrno>

namespace keyflip::alsa {

namespace {

void describe(snd_seq_port_subscribe_t* subscription, const Link& link) {
    snd_seq_port_subscribe_set_sender(subscription, &link.sender);
    snd_seq_port_subscribe_set_dest(subscription, &link.destination);
}

}  // namespace

Link linkWith(PortSide side, const OwnPorts& own, const snd_seq_addr_t& peer) {
    const bool input = side == PortSide::Input;
    const snd_seq_addr_t ownPort{static_cast<unsigned char>(own.client),
                                 static_cast<unsigned char>(input ? own.in : own.out)};
    return input ? Link{peer, ownPort} : Link{ownPort, peer};
}

Linking connect(snd_seq_t* sequencer, const Link& link) {
    snd_seq_port_subscribe_t* subscription = nullptr;
    snd_seq_port_subscribe_alloca(&subscription);
    describe(subscription, link);
    const std::optional<AlsaFailure> failed =
        check(snd_seq_subscribe_port(sequencer, subscription), "snd_seq_subscribe_port");
    if (!failed) {
        return {Linking::Made, std::nullopt};
    }
    if (failed->error != -EBUSY) {
        return {Linking::Failed, failed};
    }
    const std::optional<AlsaFailure> absent = check(
        snd_seq_get_port_subscription(sequencer, subscription), "snd_seq_get_port_subscription");
    if (!absent) {
        return {Linking::AlreadyThere, std::nullopt};
    }
    return absent->error == -ENOENT ? Linking{Linking::HeldExclusively, failed}
                                    : Linking{Linking::Failed, absent};
}

// Not connected any more (the peer left, a patchbay undid it) is what a
// disconnection wants. Left connected, the old device would go on playing
// into, or hearing, whatever the port is opened on next; closing has no box
// to say so in, so it is said on stderr.
void disconnect(snd_seq_t* sequencer, const Link& link) {
    snd_seq_port_subscribe_t* subscription = nullptr;
    snd_seq_port_subscribe_alloca(&subscription);
    describe(subscription, link);
    const std::optional<AlsaFailure> failed =
        check(snd_seq_unsubscribe_port(sequencer, subscription), "snd_seq_unsubscribe_port");
    if (failed && isConnected(sequencer, link)) {
        qWarning(texts::kAlsaNotDisconnected, link.sender.client, link.sender.port,
                 link.destination.client, link.destination.port, qPrintable(failed->text()));
    }
}

// Any failure means the connection is not there: no such connection, or no
// such port.
bool isConnected(snd_seq_t* sequencer, const Link& link) {
    snd_seq_port_subscribe_t* subscription = nullptr;
    snd_seq_port_subscribe_alloca(&subscription);
    describe(subscription, link);
    return !check(snd_seq_get_port_subscription(sequencer, subscription),
                  "snd_seq_get_port_subscription");
}

}  // namespace keyflip::alsa
