#include "jack_backend.h"

namespace keyflip {

std::unique_ptr<MidiBackend> createJackBackend() {
    return nullptr;
}

}  // namespace keyflip
