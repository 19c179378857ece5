// The widget tests need one application object for the whole run; without
// a display they paint offscreen.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The units of the tests belong to the tool's own customer, whose
    // version check would go to the build's server: keep it on this machine
    // (a closed port) unless a test names its own server.
    if (qEnvironmentVariableIsEmpty("TREVIK_VERSION_SERVER"))
        qputenv("TREVIK_VERSION_SERVER", "127.0.0.1:9");
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
