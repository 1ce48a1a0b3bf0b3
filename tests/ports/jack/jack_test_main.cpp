#include <gtest/gtest.h>

#include <QCoreApplication>

// The backend watches its wake-up descriptor with a QSocketNotifier, which
// needs an application object on the testing thread.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
