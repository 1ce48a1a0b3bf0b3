#include "contract_test.h"
#include "jack_kit.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

namespace keyflip::contract {
INSTANTIATE_TEST_SUITE_P(Contract, MidiSystemContract, ::testing::Values(jackKit()), kitName);
}  // namespace keyflip::contract

// The backend watches its wake-up descriptor with a QSocketNotifier, which
// needs an application object on the testing thread.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
