#pragma once

#include <jack/types.h>

#include <QString>

namespace keyflip {

// How the program came to JACK. When no server runs, the sentence names the
// platform's sequencer only if it was tried first.
enum class JackSelection {
    AfterPlatformSequencer,
    ChosenByUser,
};

// What jack_client_open's status says went wrong, as a sentence that tells
// the user what to do about it; with no server, also why the platform's
// sequencer, when it was tried first, could not be opened.
QString jackOpenFailureText(jack_status_t status, JackSelection selection,
                            const QString& whySequencerClosed = {});

}  // namespace keyflip
