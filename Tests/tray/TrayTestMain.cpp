// The tray tests run on Qt's offscreen platform: menus, actions and the status item exist and can be
// read and driven without a display. The log goes to a folder of the test's own.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string state = (std::filesystem::temp_directory_path() / "joyrelay-tray-tests-XXXXXX").string();
    if (::mkdtemp(state.data()) == nullptr) return 1;
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    ::unsetenv("JOYRELAY_ANY_APP");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(state, ignored);
    return status;
}
