#include "app/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool install_qt_translations(QCoreApplication* app, const QLocale& locale) {
    if (!app)
        return false;
    // "qt" loads qtbase and the other modules' files of the language.
    auto* tr = new QTranslator(app);
    if (!tr->load(locale, QStringLiteral("qt"), QStringLiteral("_"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete tr;
        return false;
    }
    return QCoreApplication::installTranslator(tr);
}
