// Every message box and file dialog of the window goes through one
// Prompter, so tests play back scripted answers and see what was asked:
// text, caption and icon.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

class QWidget;

enum class PromptIcon { None, Error, Question, Information };
// YesNoChoice: a Yes/No question whose two answers both go on (neither
// is a way back). Its box cannot be dismissed: Escape and the close box do
// nothing, so only a chosen answer leaves it.
enum class PromptButtons { Ok, YesNo, YesNoChoice };
enum class FileDialogKind { Open, Save };

// Answers as the system's message boxes give them.
inline constexpr int PROMPT_IDOK = 1;
inline constexpr int PROMPT_IDCANCEL = 2;
inline constexpr int PROMPT_IDYES = 6;
inline constexpr int PROMPT_IDNO = 7;

inline constexpr int PROVINCE_FLAG_COUNT = 34;

class Prompter {
  public:
    virtual ~Prompter() = default;
    // A modal message box owned by owner; an empty caption means none of
    // its own. Returns the answer (PROMPT_IDOK, PROMPT_IDYES, PROMPT_IDNO);
    // a YesNo box closed otherwise answers PROMPT_IDNO.
    virtual int messageBox(QWidget* owner, const QString& text, const QString& caption,
                           PromptIcon icon, PromptButtons buttons) = 0;
    // A Yes/No question whose buttons carry labels of their own (yes, no).
    // Returns PROMPT_IDYES, or PROMPT_IDNO also for a box closed otherwise.
    virtual int question(QWidget* owner, const QString& text, const QString& caption,
                         PromptIcon icon, const QString& yes, const QString& no) = 0;
    // The file-open or file-save dialog. filter is in the form
    // "Name(*.ext)|*.ext|All File(*.*)|*.*||". Returns the chosen file's
    // full path, or an empty text when the user cancelled.
    virtual QString fileName(QWidget* owner, FileDialogKind kind, const QString& filter,
                             const QString& defaultExt) = 0;
    QString openFileName(QWidget* owner, const QString& filter, const QString& defaultExt) {
        return fileName(owner, FileDialogKind::Open, filter, defaultExt);
    }
    QString saveFileName(QWidget* owner, const QString& filter, const QString& defaultExt) {
        return fileName(owner, FileDialogKind::Save, filter, defaultExt);
    }
    // The province dialog, modal, with map as its background; held says
    // which provinces the package holds (34 flags, 1 = held; null: all),
    // the others cannot be chosen. Returns 1 when it ended with OK, *mode
    // and flags then hold the choice; anything else leaves them as they were.
    virtual int provinceDialog(QWidget* owner, const QImage& map, const int* held, int* mode,
                               int flags[PROVINCE_FLAG_COUNT]) = 0;
    // Any other modal dialog: run shows it and returns its result; name
    // says which (the about box, the settings dialog).
    virtual int runDialog(const QString& name, const std::function<int()>& run) = 0;
};

// The labels of a Yes/No question's buttons when its text names them
// (it asks to choose ‘是’ or ‘否’): {yes, no}, in every language the
// system runs in. Empty when the text names no buttons: the system's own
// Yes and No then.
QStringList prompt_named_buttons(const QString& text);

// Qt's own dialogs.
class QtPrompter : public Prompter {
  public:
    int messageBox(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon,
                   PromptButtons buttons) override;
    int question(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon,
                 const QString& yes, const QString& no) override;
    QString fileName(QWidget* owner, FileDialogKind kind, const QString& filter,
                     const QString& defaultExt) override;
    int provinceDialog(QWidget* owner, const QImage& map, const int* held, int* mode,
                       int flags[PROVINCE_FLAG_COUNT]) override;
    int runDialog(const QString& name, const std::function<int()>& run) override;
};

// "Update File(*.dqv)|*.dqv|All File(*.*)|*.*||" as Qt writes it:
// "Update File(*.dqv) (*.dqv);;All File(*.*) (*.*)". Empty for an empty
// or malformed filter (a name without its pattern is dropped).
QString prompter_qt_filter(const QString& filter);

// Plays back queued answers and records every prompt. A prompt with no
// answer queued gets PROMPT_IDOK / PROMPT_IDNO, an empty file name, or a
// cancelled province dialog.
class ScriptedPrompter : public Prompter {
  public:
    struct Record {
        QString kind; // "message", "open", "save", "province", "dialog"
        QString text;
        QString caption;
        PromptIcon icon = PromptIcon::None;
        PromptButtons buttons = PromptButtons::Ok;
        QString filter;
        QString defaultExt;
        QString ownerTitle; // the owner window's title as the prompt came
        QStringList labels; // a question's button labels {yes, no}, when its own
        std::vector<int> held; // the province dialog's held provinces, when told
    };
    struct ProvinceAnswer {
        int result = 0;
        int mode = 0;
        std::vector<int> flags;
    };

    std::deque<int> answers;
    std::deque<QString> files;
    std::deque<ProvinceAnswer> provinces;
    std::deque<int> dialogResults; // runDialog: the result without showing
    std::vector<Record> records;

    int messageBox(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon,
                   PromptButtons buttons) override;
    // Recorded as a message with YesNo buttons and its labels.
    int question(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon,
                 const QString& yes, const QString& no) override;
    QString fileName(QWidget* owner, FileDialogKind kind, const QString& filter,
                     const QString& defaultExt) override;
    int provinceDialog(QWidget* owner, const QImage& map, const int* held, int* mode,
                       int flags[PROVINCE_FLAG_COUNT]) override;
    // Records the name (kind "dialog", in text) and returns the next queued
    // result, else 2 (cancelled), without showing anything.
    int runDialog(const QString& name, const std::function<int()>& run) override;

    // Message texts shown so far, in order.
    QStringList messages() const;
};
