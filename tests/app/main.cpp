// The widget tests need one application object for the whole run; without
// a display they paint offscreen.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Backups and the update history of the window's runs stay with the
    // tests, never in the user's own state directory.
    char state[] = "/tmp/trevik-app-state-XXXXXX";
    if (mkdtemp(state))
        setenv("XDG_STATE_HOME", state, 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(state, ec);
    return result;
}
