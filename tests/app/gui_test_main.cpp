#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QDir>

// Every GUI test runs on the offscreen platform, where the program's message boxes are only
// logged, with settings and the instance lock in a private folder.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char folder[] = "/tmp/quavelink-app-tests-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 2;
    setenv("XDG_CONFIG_HOME", folder, 1);
    setenv("XDG_RUNTIME_DIR", folder, 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    QDir(QString::fromLocal8Bit(folder)).removeRecursively();
    return result;
}
