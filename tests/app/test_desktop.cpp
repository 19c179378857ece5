// The window as a desktop program: button tooltips and the keyboard.
#include "window_fixture.h"

#include "app/device_notifier.h"

#include <QAbstractButton>
#include <QHelpEvent>
#include <QSignalSpy>
#include <QTest>

using namespace app_test;

namespace {

TEST(ButtonTips, WhatEachDoesAndWhyItIsDisabled) {
    struct Case {
        int id;
        ButtonTipState state;
        const char* reason; // nullptr: no reason shown
    };
    ButtonTipState idle{true, true, false, true, false};
    const Case cases[] = {
        {IDC_UPDATE, idle, nullptr},
        {IDC_UPDATE, {false, false, false, true, false}, "no unit is connected"},
        {IDC_UPDATE, {false, true, false, false, false}, "no package"},
        {IDC_UPDATE, {false, true, true, true, false}, "an update is running"},
        {IDC_SETTING, {false, false, false, false, false}, "no unit is connected"},
        {IDC_SETTING, {false, true, true, false, false}, "an update is running"},
        {IDC_OPEN, {false, true, false, false, true}, "version check is running"},
        {IDC_OPEN, {false, true, true, false, false}, "an update is running"},
        {IDC_CLOSE, idle, nullptr},
    };
    for (const Case& c : cases) {
        QString tip = QString::fromStdString(trevik_button_tip(c.id, c.state));
        SCOPED_TRACE(tip.toStdString());
        ASSERT_FALSE(tip.isEmpty());
        EXPECT_EQ(tip.contains("Not available"), c.reason != nullptr);
        if (c.reason) {
            EXPECT_TRUE(tip.contains(c.reason));
        }
        // The same button says the same about what it does in every state.
        EXPECT_TRUE(tip.startsWith(QString::fromStdString(trevik_button_tip(c.id, idle))));
    }
    EXPECT_TRUE(trevik_button_tip(IDC_PROGRESS, idle).empty());
}

class DesktopWindow : public WindowTest {
  protected:
    void show() {
        // The unit's version check (against a closed port) holds Open until
        // it ends.
        ASSERT_TRUE(wait_for([&] { return !dlg->VersionState().awaiting_end; }));
        dlg->show();
        QApplication::setActiveWindow(dlg.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    }
    // The tooltip the button shows when the mouse rests on it.
    QString hoverTip(int id) {
        QWidget* b = dlg->Button(id);
        QHelpEvent e(QEvent::ToolTip, QPoint(5, 5), b->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(b, &e);
        return b->toolTip();
    }
};

TEST_F(DesktopWindow, TooltipsFollowTheWindowsState) {
    open();
    QString tip = hoverTip(IDC_UPDATE);
    EXPECT_TRUE(tip.contains("no package")) << tip.toStdString();
    EXPECT_FALSE(hoverTip(IDC_SETTING).contains("Not available"));
    dlg->OnDropFiles({qfile("map.dqv")});
    EXPECT_FALSE(hoverTip(IDC_UPDATE).contains("Not available"));
    dlg->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, DEVICE_CLASS_HID,
                        QStringLiteral("emulated:vid_0416&pid_b500"));
    ASSERT_FALSE(enabled(IDC_SETTING));
    EXPECT_TRUE(hoverTip(IDC_UPDATE).contains("no unit is connected"));
    EXPECT_TRUE(hoverTip(IDC_SETTING).contains("no unit is connected"));
}

TEST_F(DesktopWindow, MnemonicsClickTheirButtons) {
    open();
    show();
    for (int id : {IDC_OPEN, IDC_UPDATE, IDC_SETTING, IDC_CLOSE})
        EXPECT_EQ(dlg->Button(id)->Mnemonic(), 0) << id;
    EXPECT_EQ(dlg->Button(IDC_OPEN)->shortcut(), QKeySequence(Qt::ALT | Qt::Key_O));
    EXPECT_EQ(QApplication::activeWindow(), dlg.get());
    EXPECT_TRUE(dlg->Button(IDC_OPEN)->isEnabled());
    // A shortcut shows the press for a moment, then clicks.
    QTest::keyClick(dlg.get(), Qt::Key_O, Qt::AltModifier);
    ASSERT_TRUE(wait_for([&] { return prompter.records.size() == 1; }, 2000));
    EXPECT_EQ(prompter.records[0].kind, "open");
    QTest::keyClick(dlg.get(), Qt::Key_S, Qt::AltModifier);
    ASSERT_TRUE(wait_for([&] { return prompter.records.size() == 2; }, 2000));
    EXPECT_EQ(prompter.records[1].text, "CConfigDialog"); // the Setting run's dialog
    // Update is disabled: its letter does nothing.
    QTest::keyClick(dlg.get(), Qt::Key_U, Qt::AltModifier);
    wait_for([] { return false; }, 300);
    EXPECT_EQ(prompter.records.size(), 2u);
    // The caption itself keeps no mnemonic mark.
    EXPECT_EQ(dlg->Button(IDC_OPEN)->text(), "Open");
}

TEST_F(DesktopWindow, TabShowsFocusAndEnterPressesTheFocusedButton) {
    open();
    show();
    CShadeButtonST* open = dlg->Button(IDC_OPEN);
    open->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(open->hasFocus());
    QImage focused = open->grab().toImage();
    dlg->Button(IDC_CLOSE)->setFocus(Qt::TabFocusReason);
    QImage unfocused = open->grab().toImage();
    // The mark runs along the edges, inside the button.
    int differing = 0;
    for (int x = 0; x < focused.width(); ++x)
        differing += focused.pixel(x, 3) != unfocused.pixel(x, 3);
    EXPECT_GT(differing, focused.width() / 4);

    open->setFocus(Qt::TabFocusReason);
    QTest::keyClick(open, Qt::Key_Return);
    ASSERT_TRUE(wait_for([&] { return !prompter.records.empty(); }, 2000));
    EXPECT_EQ(prompter.records[0].kind, "open");
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(DesktopWindow, EscapeClosesAsTheCloseButtonDoes) {
    open();
    show();
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished[0][0].toInt(), QDialog::Accepted);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_TRUE(dlg->IsClosing());
    EXPECT_EQ(dlg->Machine(), nullptr);
}

} // namespace
