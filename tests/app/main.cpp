// The widget tests need one application object for the whole run; without
// a display they paint offscreen.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The units of the tests belong to the tool's own customer, whose
    // version check would go to the build's server: keep it on this machine
    // (a closed port) unless a test names its own server.
    if (qEnvironmentVariableIsEmpty("TREVIK_VERSION_SERVER"))
        qputenv("TREVIK_VERSION_SERVER", "127.0.0.1:9");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
