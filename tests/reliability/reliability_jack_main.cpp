#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

// The window needs a widget application; without a display it draws
// offscreen, whatever environment the test runner passes.
int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
