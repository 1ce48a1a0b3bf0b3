#include "jack_status_text.h"

#include "port_texts.h"

namespace keyflip {

QString jackOpenFailureText(jack_status_t status, JackSelection selection,
                            const QString& whySequencerClosed) {
    const auto has = [status](jack_status_t bit) { return (status & bit) != 0; };
    using texts::JackRefusal;
    if (has(JackVersionError)) {
        return texts::jackOpenFailed(JackRefusal::VersionMismatch);
    }
    if (has(JackShmFailure)) {
        return texts::jackOpenFailed(JackRefusal::SharedMemory);
    }
    if (has(JackServerError) || has(JackInitFailure) || has(JackLoadFailure)) {
        return texts::jackOpenFailed(JackRefusal::ServerRefused);
    }
    if (selection == JackSelection::ChosenByUser) {
        return texts::jackOpenFailed(JackRefusal::NoServerAndChosen);
    }
    return texts::jackOpenFailed(JackRefusal::NoServer, whySequencerClosed);
}

}  // namespace keyflip
