// The province question's dialog for the Qt prompter.
#include "app/prompter.h"

#include "province/DialogProvince.h"

int QtPrompter::provinceDialog(QWidget* owner, const QImage& map, const int* held, int* mode,
                               int flags[PROVINCE_FLAG_COUNT]) {
    CDialogProvince dlg(owner, map);
    if (held)
        dlg.SetHeld(held);
    // The dialog's own boxes go through this prompter as well.
    dlg.messageBox = [this, &dlg](const QString& text, const QString& caption, bool yesNo) {
        int a = messageBox(&dlg, text, caption, yesNo ? PromptIcon::Question : PromptIcon::None,
                           yesNo ? PromptButtons::YesNo : PromptButtons::Ok);
        return a == PROMPT_IDYES || a == PROMPT_IDOK;
    };
    if (dlg.exec() != QDialog::Accepted)
        return 0;
    if (mode)
        *mode = dlg.mode();
    for (int i = 0; i < PROVINCE_FLAG_COUNT && flags; ++i)
        flags[i] = dlg.flag(i);
    return 1;
}
