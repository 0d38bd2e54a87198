#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

// The mixer controls are real widgets on Qt's offscreen platform.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
