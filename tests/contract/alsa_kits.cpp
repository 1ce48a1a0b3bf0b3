#include "alsa_kit.h"
#include "contract_test.h"

namespace keyflip::contract {

std::vector<KitFactory> systemKits() {
    return {alsaKit()};
}

}  // namespace keyflip::contract
