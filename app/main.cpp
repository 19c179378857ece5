// trevik: the window. --unit chooses where the unit is looked for; a FILE
// given starts the window with that package chosen.
#include "app/TrevikApp.h"
#include "app/translations.h"
#include "common_t73/QV_Hid.h"
#include "online/VersionCheck.h"
#include "package/safe_update.h"
#include "trevik_version.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    CLI::App cli{"Trevik: updates and configures the GPS speed-camera unit"};
    cli.set_version_flag("--version", std::string("trevik ") + TREVIK_VERSION);
    std::string unit = "hid";
    std::string file;
    cli.add_option("--unit", unit, "Where the unit is: hid or socket:PATH")->capture_default_str();
    cli.add_option("FILE", file, "Update package to start with, chosen as with Open");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e) == 0 ? 0 : 2;
    }
    if (!QV_Hid_selectSource(unit)) {
        fprintf(stderr, "--unit: expected hid or socket:PATH, got %s\n", unit.c_str());
        return 2;
    }
    VersionHosts hosts;
    if (!version_hosts_from_environment(&hosts)) {
        fprintf(stderr, "%s must be host:port, not \"%s\"\n", VERSION_SERVER_ENV,
                getenv(VERSION_SERVER_ENV));
        return 2;
    }
    // An update run that ends the program abnormally still leaves its
    // history line.
    safe_update_install_abnormal_end_recorder();
    int qargc = 1;
    QApplication app(qargc, argv);
    QApplication::setApplicationName(QString::fromLatin1(CTrevikApp::APP_NAME));
    // Standard buttons and dialogs follow the system language.
    install_qt_translations(&app);
    // Lets the desktop match the window to trevik.desktop.
    QGuiApplication::setDesktopFileName(QStringLiteral("trevik"));
    CTrevikApp trevik;
    if (!file.empty())
        trevik.SetPackageFile(QFileInfo(QString::fromLocal8Bit(file.c_str())).absoluteFilePath());
    return trevik.InitInstance();
}
