#include "app/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QWidget>
#include <QWindow>
#include <unistd.h>

namespace {
const char RAISE_REQUEST[] = "raise\n";
const char SYSCOMMAND_REQUEST[] = "syscommand ";
// "open " and the path, percent-encoded UTF-8, so that any name stays one
// line.
const char OPEN_REQUEST[] = "open ";
// Longest request line taken: an encoded path of PATH_MAX bytes.
constexpr qint64 MAX_REQUEST_LINE = 3 * 4096 + 16;
} // namespace

QStringList single_instance_classes() {
    return {QString::fromLatin1(TREVIK_CLASS), QString::fromLatin1(TREVIK_PROGRAM_CLASS),
            QString::fromLatin1(TREVIK_DATA_CLASS)};
}

SingleInstance::SingleInstance(const QString& dir, QObject* parent)
    : QObject(parent), m_dir(dir.isEmpty() ? QDir::tempPath() : dir) {}

SingleInstance::~SingleInstance() {
    release();
}

QString SingleInstance::lockPath() const {
    return QDir(m_dir).filePath(
        QStringLiteral("%1-%2.lock").arg(QLatin1String(SINGLE_INSTANCE_LOCK_NAME)).arg(getuid()));
}

QString SingleInstance::serverName(const QString& windowClass) const {
    return QDir(m_dir).filePath(QStringLiteral("%1-%2").arg(windowClass).arg(getuid()));
}

SingleInstance::LockOutcome SingleInstance::takeLock(const QString& path) {
    LockOutcome out;
    out.lock = std::make_unique<QLockFile>(path);
    // A lock left by a tool that died is taken over.
    out.lock->setStaleLockTime(0);
    if (out.lock->tryLock(0))
        return out;
    // A lock that cannot be made at all: go on without one.
    out.free = out.lock->error() != QLockFile::LockFailedError;
    out.lock.reset();
    return out;
}

bool SingleInstance::acquire() {
    LockOutcome out = m_pending.valid() ? m_pending.get() : takeLock(lockPath());
    m_lock = std::move(out.lock);
    return out.free;
}

void SingleInstance::startAcquire() {
    if (!m_pending.valid() && !m_lock)
        m_pending = std::async(std::launch::async, &SingleInstance::takeLock, lockPath());
}

bool SingleInstance::listen(const QString& windowClass) {
    m_server = std::make_unique<QLocalServer>();
    QString name = serverName(windowClass);
    // We hold the family's lock, so a socket of that name is left over.
    QLocalServer::removeServer(name);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        m_server.reset();
        return false;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    return true;
}

void SingleInstance::onNewConnection() {
    while (QLocalSocket* s = m_server->nextPendingConnection()) {
        connect(s, &QLocalSocket::readyRead, this, [this, s] {
            while (s->canReadLine()) {
                QByteArray line = s->readLine(MAX_REQUEST_LINE);
                if (line == RAISE_REQUEST) {
                    s->write("ok\n");
                    s->flush();
                    emit raiseRequested();
                } else if (line.startsWith(SYSCOMMAND_REQUEST) && line.endsWith('\n')) {
                    bool ok = false;
                    uint32_t id = line.mid(sizeof SYSCOMMAND_REQUEST - 1).trimmed().toUInt(&ok);
                    s->write(ok ? "ok\n" : "bad\n");
                    s->flush();
                    if (ok)
                        emit sysCommandRequested(id);
                } else if (line.startsWith(OPEN_REQUEST) && line.endsWith('\n')) {
                    QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(
                        line.mid(sizeof OPEN_REQUEST - 1).chopped(1)));
                    bool ok = !path.isEmpty();
                    s->write(ok ? "ok\n" : "bad\n");
                    s->flush();
                    if (ok)
                        emit openRequested(path);
                } else {
                    s->write("bad\n");
                    s->flush();
                }
            }
        });
        connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
    }
}

bool SingleInstance::raiseRunning(int timeoutMs) {
    for (const QString& cls : single_instance_classes()) {
        QLocalSocket s;
        s.connectToServer(serverName(cls));
        if (!s.waitForConnected(timeoutMs))
            continue;
        s.write(RAISE_REQUEST);
        s.flush();
        bool answered = s.waitForReadyRead(timeoutMs) && s.readLine() == "ok\n";
        s.disconnectFromServer();
        if (answered)
            return true;
    }
    return false;
}

bool SingleInstance::openInRunning(const QString& path, int timeoutMs) {
    QLocalSocket s;
    s.connectToServer(serverName(QString::fromLatin1(TREVIK_CLASS)));
    if (!s.waitForConnected(timeoutMs))
        return false;
    s.write(QByteArray(OPEN_REQUEST) + path.toUtf8().toPercentEncoding() + '\n');
    s.flush();
    bool taken = s.waitForReadyRead(timeoutMs) && s.readLine() == "ok\n";
    s.disconnectFromServer();
    return taken;
}

bool SingleInstance::sendSysCommand(uint32_t id, int timeoutMs) {
    QLocalSocket s;
    s.connectToServer(serverName(QString::fromLatin1(TREVIK_CLASS)));
    if (!s.waitForConnected(timeoutMs))
        return false;
    s.write(QByteArray(SYSCOMMAND_REQUEST) + QByteArray::number(id) + '\n');
    s.flush();
    // The window answers before it carries the command out.
    bool taken = s.waitForReadyRead(timeoutMs) && s.readLine() == "ok\n";
    s.disconnectFromServer();
    return taken;
}

void SingleInstance::release() {
    if (m_pending.valid())
        m_lock = m_pending.get().lock;
    if (m_server) {
        m_server->close();
        m_server.reset();
    }
    if (m_lock) {
        m_lock->unlock();
        m_lock.reset();
    }
}

void single_instance_bring_forward(QWidget* window) {
    if (!window)
        return;
    // Shown normally also when minimised, then raised and activated. The
    // window's flags stay as they are: changing them would hide it, which
    // ends a modal window's loop.
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->showNormal();
    window->raise();
    window->activateWindow();
    if (QWindow* handle = window->windowHandle())
        handle->requestActivate();
}
