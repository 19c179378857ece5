// Dialog units to pixels, and file-dialog filters in Qt's form.
#include "controls/dialog_units.h"
#include "app/prompter.h"

#include <gtest/gtest.h>

namespace {

TEST(DialogUnits, RoundLikeMulDiv) {
    DialogBaseUnits b; // 6 x 13, the common dialog font
    EXPECT_EQ(dialog_units_size(282, 250, b), QSize(423, 406));
    // x: 228 * 6 / 4 = 342; y: 146 * 13 / 8 = 237.25 -> 237; h 20 * 13 / 8 = 32.5 -> 33
    EXPECT_EQ(dialog_units_rect(228, 146, 42, 20, b), QRect(342, 237, 63, 33));
    DialogBaseUnits big{7, 15};
    EXPECT_EQ(dialog_units_rect(3, 215, 84, 28, big), QRect(5, 403, 147, 53));
    EXPECT_EQ(dialog_units_x(0, big), 0);
}

TEST(DialogUnits, BaseUnitsFollowTheFont) {
    QFont small("DejaVu Sans");
    small.setPixelSize(10);
    QFont large = small;
    large.setPixelSize(20);
    DialogBaseUnits s = dialog_base_units(small), l = dialog_base_units(large);
    EXPECT_GT(s.x, 0);
    EXPECT_GT(l.x, s.x);
    EXPECT_GT(l.y, s.y);
}

TEST(PrompterFilter, WindowsFilterInQtForm) {
    EXPECT_EQ(prompter_qt_filter("Update File(*.dqv)|*.dqv|All File(*.*)|*.*||"),
              "Update File(*.dqv) (*.dqv);;All File(*.*) (*.*)");
    EXPECT_EQ(prompter_qt_filter("Pictures|*.png;*.jpg||"), "Pictures (*.png *.jpg)");
    EXPECT_EQ(prompter_qt_filter(""), "");
    EXPECT_EQ(prompter_qt_filter("Name only|"), "");
}

TEST(ScriptedPrompter, PlaysBackAndRecords) {
    ScriptedPrompter p;
    p.answers.push_back(PROMPT_IDYES);
    EXPECT_EQ(
        p.messageBox(nullptr, "q?", "Update Tool", PromptIcon::Question, PromptButtons::YesNo),
        PROMPT_IDYES);
    // Nothing queued: No for a question, OK otherwise, cancelled dialogs.
    EXPECT_EQ(p.messageBox(nullptr, "q?", "", PromptIcon::None, PromptButtons::YesNo), PROMPT_IDNO);
    EXPECT_EQ(p.messageBox(nullptr, "x", "", PromptIcon::Error, PromptButtons::Ok), PROMPT_IDOK);
    EXPECT_TRUE(p.openFileName(nullptr, "f", "file").isEmpty());
    int mode = 5;
    int flags[PROVINCE_FLAG_COUNT] = {};
    EXPECT_EQ(p.provinceDialog(nullptr, QImage(), nullptr, &mode, flags), 0);
    EXPECT_EQ(mode, 5);
    p.provinces.push_back({1, 1, {0, 1, 1}});
    EXPECT_EQ(p.provinceDialog(nullptr, QImage(), nullptr, &mode, flags), 1);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(flags[1] + flags[2] + flags[0] + flags[33], 2);
    EXPECT_EQ(p.messages(), QStringList({"q?", "q?", "x"}));
    EXPECT_EQ(p.records.size(), 6u);
}

} // namespace

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace {

// Answers the next modal message box with button and records what it showed.
struct BoxAnswer {
    explicit BoxAnswer(QMessageBox::StandardButton b) : button(b) {}
    QMessageBox::StandardButton button;
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;

    void arm() {
        QTimer::singleShot(0, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return arm();
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            for (QAbstractButton* b : box->buttons())
                buttons << b->text().remove('&');
            box->button(button)->click();
        });
    }
};

TEST(QtPrompterBoxes, AnswersMapToTheSystemValues) {
    QtPrompter p;
    BoxAnswer yes(QMessageBox::Yes);
    yes.arm();
    EXPECT_EQ(p.messageBox(nullptr, "Already the newest version,Updated or Not?", "Update Tool",
                           PromptIcon::None, PromptButtons::YesNo),
              PROMPT_IDYES);
    EXPECT_EQ(yes.text, "Already the newest version,Updated or Not?");
    EXPECT_EQ(yes.title, "Update Tool");
    EXPECT_EQ(yes.buttons.size(), 2);

    BoxAnswer no(QMessageBox::No);
    no.arm();
    EXPECT_EQ(p.messageBox(nullptr, "q", "", PromptIcon::Question, PromptButtons::YesNo),
              PROMPT_IDNO);
    EXPECT_EQ(no.icon, QMessageBox::Question);

    BoxAnswer ok(QMessageBox::Ok);
    ok.arm();
    EXPECT_EQ(p.messageBox(nullptr, "   No hardware connected!", "", PromptIcon::Error,
                           PromptButtons::Ok),
              PROMPT_IDOK);
    EXPECT_EQ(ok.text, "   No hardware connected!"); // the blanks stay
    EXPECT_EQ(ok.icon, QMessageBox::Critical);
    EXPECT_EQ(ok.buttons.size(), 1);
}

} // namespace

namespace {

// A question that tells the user to choose '是' or '否' has buttons of those
// names whatever the system's language (here the C locale, with no
// translations); the others keep the system's Yes and No.
TEST(QtPrompterBoxes, ButtonsAreLabelledAsTheQuestionNamesThem) {
    QLocale::setDefault(QLocale::c());
    const QString province = QString::fromUtf8(
        "进入省份选择界面（更新分省全部类型数据包）请选择‘是’；直接升级全国数据包测速照相类精简包"
        "(无生活安全提示数据类)请选择‘否’，建议选择‘是’！");
    struct Case {
        QString text;
        QMessageBox::StandardButton click;
        QStringList labels;
        int answer;
    };
    const Case cases[] = {
        {province,
         QMessageBox::Yes,
         {QString::fromUtf8("是"), QString::fromUtf8("否")},
         PROMPT_IDYES},
        {province,
         QMessageBox::No,
         {QString::fromUtf8("是"), QString::fromUtf8("否")},
         PROMPT_IDNO},
        {"Already the newest version,Updated or Not?",
         QMessageBox::Yes,
         {"Yes", "No"},
         PROMPT_IDYES},
    };
    QtPrompter p;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        BoxAnswer box(c.click);
        box.arm();
        EXPECT_EQ(
            p.messageBox(nullptr, c.text, "Update Tool", PromptIcon::None, PromptButtons::YesNo),
            c.answer);
        EXPECT_EQ(box.buttons, c.labels);
        EXPECT_EQ(prompt_named_buttons(c.text),
                  c.labels == QStringList({"Yes", "No"}) ? QStringList() : c.labels);
    }
    // A question of the window's own with labels it gives.
    BoxAnswer later(QMessageBox::No);
    later.arm();
    EXPECT_EQ(
        p.question(nullptr, "Restore?", "Update Tool", PromptIcon::Question, "Restore", "Later"),
        PROMPT_IDNO);
    EXPECT_EQ(later.buttons, QStringList({"Restore", "Later"}));
    QLocale::setDefault(QLocale::system());
}

} // namespace

#include <QTest>

namespace {

// Escape and the close box leave an ordinary Yes/No box as No; a choice
// whose two answers both go on stays open until one is chosen.
TEST(QtPrompterBoxes, EscapeLeavesOnlyAQuestionWithAWayBack) {
    struct Case {
        PromptButtons buttons;
        bool staysOpen;
    };
    const Case cases[] = {{PromptButtons::YesNo, false}, {PromptButtons::YesNoChoice, true}};
    QtPrompter p;
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.buttons));
        bool openAfterEscape = false, openAfterClose = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_TRUE(box);
            QTest::keyClick(box, Qt::Key_Escape);
            openAfterEscape = box->isVisible();
            if (!openAfterEscape)
                return;
            box->close();
            openAfterClose = box->isVisible();
            box->button(QMessageBox::Yes)->click();
        });
        int answer = p.messageBox(nullptr, "q?", "Update Tool", PromptIcon::None, c.buttons);
        EXPECT_EQ(openAfterEscape, c.staysOpen);
        EXPECT_EQ(openAfterClose, c.staysOpen);
        EXPECT_EQ(answer, c.staysOpen ? PROMPT_IDYES : PROMPT_IDNO);
    }
}

} // namespace
