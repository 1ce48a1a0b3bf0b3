#include <QCoreApplication>

#include <gtest/gtest.h>

// The port objects watch their queues with socket notifiers, which need an
// application object on the thread that runs the tests.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
