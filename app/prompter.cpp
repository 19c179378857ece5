#include "app/prompter.h"

#include <QFileDialog>
#include <QMessageBox>

QString prompter_qt_filter(const QString& filter) {
    QStringList parts = filter.split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty() || parts[i + 1].isEmpty())
            break;
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
        out << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return out.join(QStringLiteral(";;"));
}

int QtPrompter::messageBox(QWidget* owner, const QString& text, const QString& caption,
                           PromptIcon icon, PromptButtons buttons) {
    QMessageBox box(owner);
    box.setText(text);
    box.setWindowTitle(caption);
    switch (icon) {
    case PromptIcon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case PromptIcon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case PromptIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case PromptIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    }
    if (buttons == PromptButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? PROMPT_IDYES : PROMPT_IDNO;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return PROMPT_IDOK;
}

QString QtPrompter::openFileName(QWidget* owner, const QString& filter, const QString& defaultExt) {
    QFileDialog dlg(owner);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setNameFilter(prompter_qt_filter(filter));
    dlg.setDefaultSuffix(defaultExt);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().first();
}

QString QtPrompter::saveFileName(QWidget* owner, const QString& filter, const QString& defaultExt) {
    QFileDialog dlg(owner);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setNameFilter(prompter_qt_filter(filter));
    dlg.setDefaultSuffix(defaultExt);
    // The dialog asks before it overwrites a file.
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().first();
}

int ScriptedPrompter::messageBox(QWidget*, const QString& text, const QString& caption,
                                 PromptIcon icon, PromptButtons buttons) {
    Record r;
    r.kind = QStringLiteral("message");
    r.text = text;
    r.caption = caption;
    r.icon = icon;
    r.buttons = buttons;
    records.push_back(r);
    if (!answers.empty()) {
        int a = answers.front();
        answers.pop_front();
        return a;
    }
    return buttons == PromptButtons::YesNo ? PROMPT_IDNO : PROMPT_IDOK;
}

QString ScriptedPrompter::openFileName(QWidget*, const QString& filter, const QString& defaultExt) {
    Record r;
    r.kind = QStringLiteral("open");
    r.filter = filter;
    r.defaultExt = defaultExt;
    records.push_back(r);
    if (files.empty())
        return QString();
    QString f = files.front();
    files.pop_front();
    return f;
}

QString ScriptedPrompter::saveFileName(QWidget*, const QString& filter, const QString& defaultExt) {
    Record r;
    r.kind = QStringLiteral("save");
    r.filter = filter;
    r.defaultExt = defaultExt;
    records.push_back(r);
    if (files.empty())
        return QString();
    QString f = files.front();
    files.pop_front();
    return f;
}

int ScriptedPrompter::provinceDialog(QWidget*, const QImage&, int* mode,
                                     int flags[PROVINCE_FLAG_COUNT]) {
    Record r;
    r.kind = QStringLiteral("province");
    records.push_back(r);
    if (provinces.empty())
        return 0;
    ProvinceAnswer a = provinces.front();
    provinces.pop_front();
    if (a.result == 1) {
        if (mode)
            *mode = a.mode;
        for (int i = 0; i < PROVINCE_FLAG_COUNT && flags; ++i)
            flags[i] = i < static_cast<int>(a.flags.size()) ? a.flags[i] : 0;
    }
    return a.result;
}

QStringList ScriptedPrompter::messages() const {
    QStringList out;
    for (const Record& r : records)
        if (r.kind == QLatin1String("message"))
            out << r.text;
    return out;
}

int QtPrompter::runDialog(const QString&, const std::function<int()>& run) {
    return run ? run() : 0;
}

int ScriptedPrompter::runDialog(const QString& name, const std::function<int()>&) {
    Record r;
    r.kind = QStringLiteral("dialog");
    r.text = name;
    records.push_back(r);
    if (dialogResults.empty())
        return 2;
    int a = dialogResults.front();
    dialogResults.pop_front();
    return a;
}
