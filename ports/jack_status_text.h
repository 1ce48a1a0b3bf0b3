#pragma once

#include <jack/types.h>

#include <QString>

namespace keyflip {

// What jack_client_open's status says went wrong, as a sentence that tells
// the user what to do about it.
QString jackOpenFailureText(jack_status_t status);

}  // namespace keyflip
