// One tool of the updater family at a time. The lock is named after
// "QV_APP_ONE_HANDLE"; the running tool listens under its window class name
// (TREVIK_CLASS, or a sibling's TREVIK_PROGRAM_CLASS / TREVIK_DATA_CLASS),
// and a second start asks it to bring its window forward (handing it the
// package it was started with), then ends.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <future>
#include <memory>

inline constexpr const char* SINGLE_INSTANCE_LOCK_NAME = "QV_APP_ONE_HANDLE";
inline constexpr const char* TREVIK_CLASS = "TREVIK_CLASS";
inline constexpr const char* TREVIK_PROGRAM_CLASS = "TREVIK_PROGRAM_CLASS";
inline constexpr const char* TREVIK_DATA_CLASS = "TREVIK_DATA_CLASS";

// The three window classes in the order a second start looks for them.
QStringList single_instance_classes();

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    // dir holds the lock and the sockets (empty: the user's temporary
    // directory); the names carry the user id so users do not meet.
    explicit SingleInstance(const QString& dir = QString(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the family's lock. Returns true for the only instance; false when
    // another tool of the family holds it. A lock that cannot be made at all
    // (no writable directory) counts as taken by nobody: true.
    bool acquire();

    // Starts taking the lock on a thread of its own, so that the window can
    // be built meanwhile (the lock file is written through to the disk,
    // which may take a while); acquire() then waits for the outcome.
    void startAcquire();

    // The only instance listens under its window class so later starts can
    // find it. Returns false when it cannot listen (later starts then end
    // silently, finding no window).
    bool listen(const QString& windowClass = QString::fromLatin1(TREVIK_CLASS));

    // A second start: asks the first tool found, in class order, to raise its
    // window. Returns true when one answered, false when none was found.
    bool raiseRunning(int timeoutMs = 2000);

    // A second start with a package: asks the running Trevik to take path
    // as its chosen package and come forward. Returns true when it answered;
    // false when no Trevik window listens (a sibling tool may; raise it).
    bool openInRunning(const QString& path, int timeoutMs = 2000);

    // Hands a system command (the ids WM_SYSCOMMAND carries, such as 10000)
    // to the running tool's window. Returns true when it was taken.
    bool sendSysCommand(uint32_t id, int timeoutMs = 2000);

    // Releases the lock and stops listening.
    void release();

    QString lockPath() const;
    QString serverName(const QString& windowClass) const;

  signals:
    // A later start asked for the window to come forward.
    void raiseRequested();
    // A later start asked the window to take path as its package.
    void openRequested(const QString& path);
    // Another program sent a system command to the window.
    void sysCommandRequested(uint32_t id);

  private:
    void onNewConnection();

    QString m_dir;
    std::unique_ptr<QLockFile> m_lock;
    // The outcome of taking the lock: free is false when another tool
    // holds it; lock is the held lock file (none when it cannot be made).
    struct LockOutcome {
        bool free = true;
        std::unique_ptr<QLockFile> lock;
    };
    static LockOutcome takeLock(const QString& path);
    // The lock being taken by startAcquire().
    std::future<LockOutcome> m_pending;
    std::unique_ptr<QLocalServer> m_server;
};

// Brings a window forward: shown normally (also when minimised), raised
// and activated.
void single_instance_bring_forward(QWidget* window);
