#include "app/prompter.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QWidget>

namespace {

// What tells the file-open dialog from the file-save dialog.
struct FileDialogShape {
    const char* kind; // as ScriptedPrompter records it
    QFileDialog::AcceptMode accept;
    QFileDialog::FileMode files;
};

const FileDialogShape& file_dialog_shape(FileDialogKind kind) {
    static const FileDialogShape shapes[] = {
        {"open", QFileDialog::AcceptOpen, QFileDialog::ExistingFile},
        // The save dialog asks before it overwrites a file.
        {"save", QFileDialog::AcceptSave, QFileDialog::AnyFile},
    };
    return shapes[kind == FileDialogKind::Save ? 1 : 0];
}

QMessageBox::Icon qt_icon(PromptIcon icon) {
    switch (icon) {
    case PromptIcon::Error:
        return QMessageBox::Critical;
    case PromptIcon::Question:
        return QMessageBox::Question;
    case PromptIcon::Information:
        return QMessageBox::Information;
    case PromptIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

// The next scripted answer, else fallback.
template <typename T> T take_next(std::deque<T>& queue, T fallback) {
    if (queue.empty())
        return fallback;
    T next = std::move(queue.front());
    queue.pop_front();
    return next;
}

} // namespace

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

QStringList prompt_named_buttons(const QString& text) {
    // The names a question may give its buttons, quoted as it quotes them.
    static const struct {
        const char* yes;
        const char* no;
    } named[] = {{"\u2018是\u2019", "\u2018否\u2019"}};
    for (const auto& n : named) {
        QString yes = QString::fromUtf8(n.yes), no = QString::fromUtf8(n.no);
        if (text.contains(yes) && text.contains(no))
            return {yes.mid(1, yes.size() - 2), no.mid(1, no.size() - 2)};
    }
    return {};
}

namespace {

// A message box that, unless dismissable, leaves only by one of its
// buttons: Escape and the close box are ignored.
class ChoiceBox : public QMessageBox {
  public:
    ChoiceBox(QWidget* owner, bool dismissable) : QMessageBox(owner), dismissable_(dismissable) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!dismissable_ && event->matches(QKeySequence::Cancel)) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (!dismissable_) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

  private:
    bool dismissable_;
};

// A Yes/No box; labels {yes, no} replace the system's texts when given.
int run_yes_no(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon,
               const QStringList& labels, bool dismissable = true) {
    ChoiceBox box(owner, dismissable);
    box.setText(text);
    box.setWindowTitle(caption);
    box.setIcon(qt_icon(icon));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    if (labels.size() == 2) {
        box.button(QMessageBox::Yes)->setText(labels[0]);
        box.button(QMessageBox::No)->setText(labels[1]);
    }
    return box.exec() == QMessageBox::Yes ? PROMPT_IDYES : PROMPT_IDNO;
}

} // namespace

int QtPrompter::messageBox(QWidget* owner, const QString& text, const QString& caption,
                           PromptIcon icon, PromptButtons buttons) {
    if (buttons != PromptButtons::Ok)
        return run_yes_no(owner, text, caption, icon, prompt_named_buttons(text),
                          buttons == PromptButtons::YesNo);
    QMessageBox box(owner);
    box.setText(text);
    box.setWindowTitle(caption);
    box.setIcon(qt_icon(icon));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return PROMPT_IDOK;
}

int QtPrompter::question(QWidget* owner, const QString& text, const QString& caption,
                         PromptIcon icon, const QString& yes, const QString& no) {
    return run_yes_no(owner, text, caption, icon, {yes, no});
}

QString QtPrompter::fileName(QWidget* owner, FileDialogKind kind, const QString& filter,
                             const QString& defaultExt) {
    const FileDialogShape& shape = file_dialog_shape(kind);
    QFileDialog dlg(owner);
    dlg.setAcceptMode(shape.accept);
    dlg.setFileMode(shape.files);
    dlg.setNameFilter(prompter_qt_filter(filter));
    dlg.setDefaultSuffix(defaultExt);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().first();
}

int ScriptedPrompter::messageBox(QWidget* owner, const QString& text, const QString& caption,
                                 PromptIcon icon, PromptButtons buttons) {
    Record r;
    r.kind = QStringLiteral("message");
    if (owner)
        r.ownerTitle = owner->window()->windowTitle();
    r.text = text;
    r.caption = caption;
    r.icon = icon;
    r.buttons = buttons;
    if (buttons != PromptButtons::Ok)
        r.labels = prompt_named_buttons(text);
    records.push_back(r);
    return take_next(answers, buttons != PromptButtons::Ok ? PROMPT_IDNO : PROMPT_IDOK);
}

int ScriptedPrompter::question(QWidget* owner, const QString& text, const QString& caption,
                               PromptIcon icon, const QString& yes, const QString& no) {
    int answer = messageBox(owner, text, caption, icon, PromptButtons::YesNo);
    records.back().labels = QStringList{yes, no};
    return answer == PROMPT_IDYES ? PROMPT_IDYES : PROMPT_IDNO;
}

QString ScriptedPrompter::fileName(QWidget*, FileDialogKind kind, const QString& filter,
                                   const QString& defaultExt) {
    Record r;
    r.kind = QString::fromLatin1(file_dialog_shape(kind).kind);
    r.filter = filter;
    r.defaultExt = defaultExt;
    records.push_back(r);
    return take_next(files, QString());
}

int ScriptedPrompter::provinceDialog(QWidget*, const QImage&, const int* held, int* mode,
                                     int flags[PROVINCE_FLAG_COUNT]) {
    Record r;
    r.kind = QStringLiteral("province");
    if (held)
        r.held.assign(held, held + PROVINCE_FLAG_COUNT);
    records.push_back(r);
    ProvinceAnswer a = take_next(provinces, ProvinceAnswer{});
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
    return take_next(dialogResults, 2);
}
