#pragma once

// The one way a libasound status is looked at: a negative result is a
// failure, which keeps the call's name and the error, and anything else is
// not. Nothing here allocates or throws, so the reader thread checks its
// calls the same way; only the text is made on the UI thread.

#include <QString>

#include <optional>

namespace keyflip::alsa {

// What a libasound call said when it failed.
struct AlsaFailure {
    const char* call;  // the function's name, as it is spelt in libasound
    int error;         // a negative errno

    // "snd_seq_connect_from: Device or resource busy".
    QString text() const;
};

[[nodiscard]] std::optional<AlsaFailure> check(long result, const char* call) noexcept;

// What snd_strerror says about a negative errno.
QString alsaText(int error);

}  // namespace keyflip::alsa
