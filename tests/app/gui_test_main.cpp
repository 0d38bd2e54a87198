#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

#include "support/temporary_folder.h"

// Every GUI test runs on the offscreen platform, where the program's message boxes are only
// logged, with settings and the instance lock in a private folder.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    quavelink::test::TemporaryFolder folder("quavelink-app-tests");
    setenv("XDG_CONFIG_HOME", folder.path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
