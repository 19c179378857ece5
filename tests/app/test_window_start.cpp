// The window's start as a driver meets it: the window shows before the unit
// is attached, its title never claims something wrong on the way, the first
// key does what the window is there for, and Shift+F10 opens its menu.
#include "window_fixture.h"

#include "common_t73/QV_Cmd.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

using namespace app_test;

namespace {

using WindowStart = WindowTest;

// Where the focus is once the window is on the screen and its start is
// over (unit attached, version check ended).
TEST_F(WindowStart, FocusStartsOnUpdateWhenItIsEnabledElseOnOpen) {
    struct Case {
        const char* name;
        bool unit;
        bool package;
        int focus;
    };
    const Case cases[] = {{"unit and package", true, true, IDC_UPDATE},
                          {"unit, no package", true, false, IDC_OPEN},
                          {"package, no unit", false, true, IDC_OPEN},
                          {"nothing", false, false, IDC_OPEN}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.unit)
            plugIn();
        else
            unplug();
        open();
        if (c.package)
            dlg->ChoosePackage(QString::fromStdString(writePackage("map.dqv")));
        dlg->show();
        // The version check (a closed port) ends and gives Open back.
        ASSERT_TRUE(wait_for([&] { return enabled(IDC_OPEN); }));
        EXPECT_EQ(dlg->focusWidget(), dlg->Button(c.focus));
        EXPECT_NE(dlg->focusWidget(), dlg->Button(IDC_CLOSE));
        dlg.reset();
    }
}

// A key the user pressed ends the start's say over the focus.
TEST_F(WindowStart, TheUsersOwnFocusStays) {
    open();
    dlg->show();
    ASSERT_TRUE(wait_for([&] { return enabled(IDC_OPEN); }));
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(dlg->focusWidget(), &tab);
    QWidget* chosen = dlg->focusWidget();
    dlg->ChoosePackage(QString::fromStdString(writePackage("map.dqv")));
    EXPECT_EQ(dlg->focusWidget(), chosen);
}

// The program's own start: the window paints first, the unit is attached
// right after, and the title goes from the bare caption straight to the
// unit's: no "No hardware connected!" on the way.
TEST_F(WindowStart, WindowShowsFirstThenAttachesTheUnit) {
    dlg = std::make_unique<CTrevikDlg>(&prompter);
    dlg->SetWatchDevices(false);
    dlg->SetStorageProbe([] { return 0; });
    dlg->SetAttachAfterFirstPaint(true);
    QStringList titles;
    QObject::connect(dlg.get(), &QWidget::windowTitleChanged,
                     [&](const QString& t) { titles << t; });
    ASSERT_TRUE(dlg->OnInitDialog());
    // What the program leaves until the window is on the screen (its
    // instance socket) runs once, after the first paint.
    int afterPaint = 0;
    dlg->CallAfterFirstPaint([&] { ++afterPaint; });
    dlg->ChoosePackage(QString::fromStdString(writePackage("map.dqv")));
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_EQ(sim.count(CMD_BOOT_VERSION), 0); // nothing asked of the unit before it shows
    QApplication::processEvents();
    EXPECT_EQ(afterPaint, 0);
    dlg->show();
    ASSERT_TRUE(wait_for([&] { return dlg->IsConnected(); }));
    EXPECT_EQ(afterPaint, 1);
    EXPECT_EQ(titles, QStringList({"Update Tool", "Update Tool   GPS Connected   V:20190318"}));
    EXPECT_TRUE(enabled(IDC_UPDATE));
    EXPECT_EQ(dlg->focusWidget(), dlg->Button(IDC_UPDATE));
    // Asked for once the window has painted, it runs right away.
    dlg->CallAfterFirstPaint([&] { ++afterPaint; });
    EXPECT_TRUE(wait_for([&] { return afterPaint == 2; }));
}

// Shift+F10 opens the same menu as the Menu key, with the restore item.
TEST_F(WindowStart, ShiftF10OpensTheContextMenu) {
    open();
    dlg->show();
    QStringList items;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction* a : menu->actions())
            items << a->text();
        menu->close();
    });
    QKeyEvent key(QEvent::KeyPress, Qt::Key_F10, Qt::ShiftModifier);
    QApplication::sendEvent(dlg->focusWidget() ? dlg->focusWidget() : dlg.get(), &key);
    EXPECT_EQ(items, QStringList({dlg->SystemMenuText(), CTrevikDlg::RestoreMenuText()}));
}

} // namespace
