// Qt's own texts (the standard buttons of message boxes) in the user's
// language.
#include "app/prompter.h"
#include "app/translations.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

// The texts of the standard buttons of the next message box; answers No.
QStringList next_box_buttons() {
    QStringList texts;
    // Looks again until the box is up; the function outlives each timer.
    auto look = std::make_shared<std::function<void()>>();
    *look = [&texts, weak = std::weak_ptr<std::function<void()>>(look)] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            if (auto again = weak.lock())
                QTimer::singleShot(5, [again] { (*again)(); });
            return;
        }
        for (QAbstractButton* b : box->buttons())
            texts << b->text().remove('&');
        box->button(QMessageBox::No)->click();
    };
    QTimer::singleShot(0, [look] { (*look)(); });
    QtPrompter p;
    p.messageBox(nullptr, "?", "Update Tool", PromptIcon::None, PromptButtons::YesNo);
    texts.sort();
    return texts;
}

void remove_translators() {
    for (QTranslator* t : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
}

TEST(QtTranslations, StandardButtonsFollowTheLocale) {
    ASSERT_TRUE(install_qt_translations(qApp, QLocale(QLocale::Chinese, QLocale::China)));
    QStringList zh = next_box_buttons();
    remove_translators();
    // "是(Y)" and "否(N)" once the mnemonic marks are gone.
    ASSERT_EQ(zh.size(), 2);
    EXPECT_TRUE(zh.join(' ').contains(QString::fromUtf8("是"))) << zh.join(' ').toStdString();
    EXPECT_TRUE(zh.join(' ').contains(QString::fromUtf8("否"))) << zh.join(' ').toStdString();

    // English has no translation file: Qt's own texts stay.
    EXPECT_FALSE(install_qt_translations(qApp, QLocale(QLocale::C)));
    EXPECT_EQ(next_box_buttons(), QStringList({"No", "Yes"}));
    EXPECT_FALSE(install_qt_translations(nullptr, QLocale(QLocale::Chinese, QLocale::China)));
}

} // namespace
