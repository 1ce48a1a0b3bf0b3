#include "contract_test.h"
#include "jack/jack_backend.h"
#include "jack_kit.h"

namespace keyflip::contract {

std::vector<KitFactory> systemKits() {
    return {jackKit("Jack", [] { return createJackBackend(); })};
}

}  // namespace keyflip::contract
