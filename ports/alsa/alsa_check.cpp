#include "alsa_check.h"

#include <alsa/asoundlib.h>

namespace keyflip::alsa {

QString AlsaFailure::text() const {
    return QString::fromLatin1(call) + QStringLiteral(": ") + alsaText(error);
}

std::optional<AlsaFailure> check(long result, const char* call) noexcept {
    if (result >= 0) {
        return std::nullopt;
    }
    return AlsaFailure{call, static_cast<int>(result)};
}

QString alsaText(int error) {
    return QString::fromLocal8Bit(snd_strerror(error));
}

}  // namespace keyflip::alsa
