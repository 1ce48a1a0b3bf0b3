#include "contract_test.h"
#include "jack_kit.h"

namespace keyflip::contract {

std::vector<KitFactory> systemKits() {
    return {jackKit()};
}

}  // namespace keyflip::contract
