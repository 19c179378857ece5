#include "app/TrevikApp.h"

#include "app/TrevikDlg.h"
#include "app/prompter.h"
#include "app/single_instance.h"
#include "app/window_preload.h"

int CTrevikApp::InitInstance() {
    // The lock is taken while the window is built; a window that is not to
    // be shown is never shown.
    SingleInstance instance(m_lockDir);
    instance.startAcquire();
    // Text is measured from here on: the font configuration read beside the
    // start must be complete.
    window_preload_fonts_wait();
    QtPrompter prompter;
    CTrevikDlg dlg(&prompter);
    if (!instance.acquire()) {
        // Another tool of the family runs: its window comes forward instead,
        // with the package this start was given when it is Trevik's.
        if (m_packageFile.isEmpty() || !instance.openInRunning(m_packageFile))
            instance.raiseRunning();
        return 0;
    }
    // The window shows first; the unit is attached right after.
    dlg.SetAttachAfterFirstPaint(true);
    QObject::connect(&instance, &SingleInstance::raiseRequested, &dlg,
                     [&dlg] { single_instance_bring_forward(&dlg); });
    // A package opened from the desktop while the window runs: chosen as
    // with Open, which a running update keeps disabled.
    QObject::connect(&instance, &SingleInstance::openRequested, &dlg, [&dlg](const QString& path) {
        if (!dlg.IsUpdating())
            dlg.ChoosePackage(path);
        single_instance_bring_forward(&dlg);
    });
    // Other programs reach the window's system commands (10000, 10001)
    // through the same socket; they run once the request is answered.
    QObject::connect(
        &instance, &SingleInstance::sysCommandRequested, &dlg,
        [&dlg](uint32_t id) { dlg.SendMessage(WM_SYSCOMMAND_MSG, id, 0); }, Qt::QueuedConnection);
    // Later starts find the window once it is on the screen.
    dlg.CallAfterFirstPaint([&instance] { instance.listen(QString::fromLatin1(TREVIK_CLASS)); });
    if (dlg.OnInitDialog()) {
        if (!m_packageFile.isEmpty())
            dlg.ChoosePackage(m_packageFile);
        dlg.exec();
    }
    instance.release();
    return 0;
}
