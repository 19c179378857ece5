// Renders the configuration and province dialogs to PNG files offscreen,
// for the README's screenshots:  trevik-dialog-shots OUTDIR [MAP.png]
// Without a QT_QPA_PLATFORM of its own it renders for a 1920 x 1080 screen,
// so QT_SCALE_FACTOR=2 shows the dialogs as a full-HD screen at 200 % does.
#include "config/ConfigDialog.h"
#include "province/DialogProvince.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// A screen description for the offscreen platform; empty when it cannot be
// written (the platform's own screen is used then).
std::string full_hd_screen_file() {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/trevik-screen-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0)
        return std::string();
    static const char json[] =
        "{\"screens\":[{\"name\":\"FullHD\",\"x\":0,\"y\":0,\"width\":1920,\"height\":1080,"
        "\"logicalDpi\":96,\"logicalBaseDpi\":96,\"dpr\":1}]}\n";
    bool ok = write(fd, json, sizeof json - 1) == ssize_t(sizeof json - 1);
    close(fd);
    if (!ok) {
        unlink(path.c_str());
        return std::string();
    }
    return path;
}

} // namespace

int main(int argc, char** argv) {
    std::string screen;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        screen = full_hd_screen_file();
        std::string platform = "offscreen";
        if (!screen.empty())
            platform += ":configfile=" + screen;
        qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(platform));
    }
    QApplication app(argc, argv);
    if (!screen.empty())
        unlink(screen.c_str()); // read when the application started
    if (argc < 2) {
        std::fprintf(stderr, "usage: trevik-dialog-shots OUTDIR [MAP.png]\n");
        return 2;
    }
    QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    // The project's map, drawn twice as large for a scaled screen.
    QString mapPath = QStringLiteral(TREVIK_PROVINCE_MAP);
    if (app.devicePixelRatio() > 1)
        mapPath.replace(QStringLiteral(".png"), QStringLiteral("@2x.png"));
    QImage map(argc > 2 ? QString::fromLocal8Bit(argv[2]) : mapPath);
    bool ok = true;
    for (int kind : {1, 3, 5})
        ok &= ConfigDialogRenderPng(out.filePath(QString("config_kind%1.png").arg(kind)), kind);
    ok &= DialogProvinceRenderPng(out.filePath("province.png"), map);
    if (!ok)
        std::fprintf(stderr, "could not write the images\n");
    return ok ? 0 : 1;
}
