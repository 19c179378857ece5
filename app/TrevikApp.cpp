#include "app/TrevikApp.h"

#include "app/TrevikDlg.h"
#include "app/prompter.h"
#include "app/single_instance.h"

int CTrevikApp::InitInstance() {
    SingleInstance instance(m_lockDir);
    if (!instance.acquire()) {
        // Another tool of the family runs: its window comes forward instead,
        // with the package this start was given when it is Trevik's.
        if (m_packageFile.isEmpty() || !instance.openInRunning(m_packageFile))
            instance.raiseRunning();
        return 0;
    }
    QtPrompter prompter;
    CTrevikDlg dlg(&prompter);
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
    instance.listen(QString::fromLatin1(TREVIK_CLASS));
    if (dlg.OnInitDialog()) {
        if (!m_packageFile.isEmpty())
            dlg.ChoosePackage(m_packageFile);
        dlg.exec();
    }
    instance.release();
    return 0;
}
