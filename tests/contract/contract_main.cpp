#include "contract_test.h"

#include <gtest/gtest.h>

#include <QApplication>

namespace keyflip::contract {
INSTANTIATE_TEST_SUITE_P(Contract, MidiSystemContract, ::testing::ValuesIn(systemKits()), kitName);
}  // namespace keyflip::contract

// The backend watches its wake-up descriptor with a QSocketNotifier, which
// needs an application object on the testing thread; one case runs the
// whole window, with no display.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
