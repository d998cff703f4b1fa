// The tray tests run on Qt's offscreen platform: menus, actions and the status item exist and can be
// read and driven without a display. The log goes to a folder of the test's own.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TempDir.hpp"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const joyrelay::testing::TempDir state("joyrelay-tray-tests");
    if (!state.ok()) return 1;
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    ::unsetenv("JOYRELAY_ANY_APP");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
