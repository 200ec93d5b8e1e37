// Shared main for every test executable: an offscreen Qt application around GoogleTest.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The same event dispatcher as the program.
    setenv("QT_NO_GLIB", "1", 1);
    // A run of the main window listens for `quorvane --send` in the runtime directory: never in
    // the user's own, where a real copy may listen.
    QTemporaryDir runtime;
    setenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()).constData(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
