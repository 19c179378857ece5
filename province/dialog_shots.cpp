// Renders the configuration and province dialogs to PNG files offscreen,
// for the README's screenshots:  trevik-dialog-shots OUTDIR [MAP.png]
#include "config/ConfigDialog.h"
#include "province/DialogProvince.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: trevik-dialog-shots OUTDIR [MAP.png]\n");
        return 2;
    }
    QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    QImage map(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(TREVIK_PROVINCE_MAP));
    bool ok = true;
    for (int kind : {1, 3, 5})
        ok &= ConfigDialogRenderPng(out.filePath(QString("config_kind%1.png").arg(kind)), kind);
    ok &= DialogProvinceRenderPng(out.filePath("province.png"), map);
    if (!ok)
        std::fprintf(stderr, "could not write the images\n");
    return ok ? 0 : 1;
}
