// Qt's own texts (standard buttons such as Yes and No, the file dialog) in
// the user's language, from the translations installed with Qt.
#pragma once

#include <QLocale>

class QCoreApplication;

// Installs Qt's translations for locale into app. Returns true when a
// translation for the locale was found and installed; false leaves Qt's
// English texts (no translations installed, or none for that language).
bool install_qt_translations(QCoreApplication* app, const QLocale& locale = QLocale::system());
