// trevik: the window. --unit chooses where the unit is looked for; a FILE
// given starts the window with that package chosen; --record FILE (or
// TREVIK_RECORD=FILE) records what passes between the window and the unit.
#include "app/TrevikApp.h"
#include "app/translations.h"
#include "app/window_preload.h"
#include "common_t73/QV_Hid.h"
#include "online/VersionCheck.h"
#include "update/safe_update.h"
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
    std::string record;
    bool redactClient = false;
    cli.add_option("--record", record,
                   "Record the unit's session into this file (also TREVIK_RECORD=FILE)");
    cli.add_flag("--redact-client", redactClient,
                 "With --record: hide the unit's own part of the client id too");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e) == 0 ? 0 : 2;
    }
    if (!QV_Hid_selectSource(unit)) {
        std::string why = QV_Hid_sourceError();
        if (!why.empty())
            fprintf(stderr, "--unit: %s\n", why.c_str());
        else
            fprintf(stderr, "--unit: expected hid or socket:PATH, got %s\n", unit.c_str());
        return 2;
    }
    VersionHosts hosts;
    if (!version_hosts_from_environment(&hosts)) {
        fprintf(stderr, "%s must be host:port, not \"%s\"\n", VERSION_SERVER_ENV,
                getenv(VERSION_SERVER_ENV));
        return 2;
    }
    if (const char* env = getenv("TREVIK_RECORD"); record.empty() && env && *env)
        record = env;
    if (!record.empty()) {
        QV_HidRecordOptions options;
        options.tool = std::string("trevik ") + TREVIK_VERSION;
        options.command = {"window"};
        options.redactClient = redactClient;
        std::string error;
        if (!QV_Hid_startRecording(record, options, &error)) {
            fprintf(stderr, "--record: %s\n", error.c_str());
            return 2;
        }
    }
    // The font configuration is read beside the rest of the start.
    window_preload_fonts();
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
    int code = trevik.InitInstance();
    QV_Hid_stopRecording(code);
    window_preload_fonts_wait();
    return code;
}
