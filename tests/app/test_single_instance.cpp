// One tool of the family at a time: the lock, the raise request, and the
// program itself started twice.
#include "app/single_instance.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTimer>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

namespace {

template <class Pred> bool wait_for(Pred pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return pred();
}

TEST(SingleInstance, SecondLockFailsUntilTheFirstIsReleased) {
    QTemporaryDir dir;
    SingleInstance first(dir.path());
    ASSERT_TRUE(first.acquire());
    SingleInstance second(dir.path());
    EXPECT_FALSE(second.acquire());
    first.release();
    EXPECT_TRUE(second.acquire());
}

// The lock taken on a thread of its own while the window is built: the
// outcome is the same, and a lock still being taken is released too.
TEST(SingleInstance, LockTakenBesideTheWindowsConstruction) {
    QTemporaryDir dir;
    SingleInstance first(dir.path());
    first.startAcquire();
    ASSERT_TRUE(first.acquire());
    SingleInstance second(dir.path());
    second.startAcquire();
    EXPECT_FALSE(second.acquire());
    first.release();

    SingleInstance third(dir.path());
    third.startAcquire();
    third.release(); // never asked for its outcome
    SingleInstance fourth(dir.path());
    EXPECT_TRUE(fourth.acquire());
}

TEST(SingleInstance, RaiseReachesTheFirstClassFound) {
    QTemporaryDir dir;
    SingleInstance sibling(dir.path());
    ASSERT_TRUE(sibling.acquire());
    ASSERT_TRUE(sibling.listen(QString::fromLatin1(TREVIK_DATA_CLASS)));
    int raised = 0;
    QObject::connect(&sibling, &SingleInstance::raiseRequested, [&] { ++raised; });

    // The second start runs on another thread, like another process would.
    bool answered = false;
    QThread* t = QThread::create([&] {
        SingleInstance second(dir.path());
        answered = !second.acquire() && second.raiseRunning(3000);
    });
    t->start();
    EXPECT_TRUE(wait_for([&] { return t->isFinished(); }, 10000));
    delete t;
    EXPECT_TRUE(answered);
    EXPECT_TRUE(wait_for([&] { return raised == 1; }, 2000));
}

TEST(SingleInstance, SysCommandReachesTheRunningTool) {
    QTemporaryDir dir;
    SingleInstance first(dir.path());
    ASSERT_TRUE(first.acquire());
    ASSERT_TRUE(first.listen());
    std::vector<uint32_t> ids;
    QObject::connect(&first, &SingleInstance::sysCommandRequested,
                     [&](uint32_t id) { ids.push_back(id); });
    bool taken = false;
    QThread* t = QThread::create([&] { taken = SingleInstance(dir.path()).sendSysCommand(10001); });
    t->start();
    EXPECT_TRUE(wait_for([&] { return t->isFinished(); }, 10000));
    delete t;
    EXPECT_TRUE(taken);
    EXPECT_EQ(ids, std::vector<uint32_t>{10001});
}

// A package opened while the window runs reaches it whole, whatever its
// name holds.
TEST(SingleInstance, OpenHandsThePathToTheRunningTool) {
    QTemporaryDir dir;
    SingleInstance first(dir.path());
    ASSERT_TRUE(first.acquire());
    ASSERT_TRUE(first.listen());
    QStringList paths;
    QObject::connect(&first, &SingleInstance::openRequested, [&](const QString& p) { paths << p; });
    const QStringList sent = {QStringLiteral("/home/u/map 2024.dqv"),
                              QString::fromUtf8("/tmp/北京 %0A\nline.zip"),
                              QStringLiteral("/") + QString(300, QChar('a')) + ".dqv"};
    for (const QString& path : sent) {
        bool taken = false;
        QThread* t =
            QThread::create([&] { taken = SingleInstance(dir.path()).openInRunning(path); });
        t->start();
        EXPECT_TRUE(wait_for([&] { return t->isFinished(); }, 10000));
        delete t;
        EXPECT_TRUE(taken) << path.toStdString();
    }
    EXPECT_EQ(paths, sent);
    // No Trevik listening: nothing taken, the caller raises instead.
    first.release();
    EXPECT_FALSE(SingleInstance(dir.path()).openInRunning(sent[0], 200));
}

TEST(SingleInstance, NoWindowFoundEndsSilently) {
    QTemporaryDir dir;
    SingleInstance holder(dir.path());
    ASSERT_TRUE(holder.acquire()); // locked, but not listening yet
    SingleInstance second(dir.path());
    EXPECT_FALSE(second.acquire());
    EXPECT_FALSE(second.raiseRunning(200));
}

TEST(SingleInstance, BringForwardKeepsAModalWindowRunning) {
    QDialog dlg;
    dlg.resize(200, 100);
    int result = -1;
    QTimer::singleShot(0, [&] {
        dlg.showMinimized();
        QApplication::processEvents();
        single_instance_bring_forward(&dlg);
        QApplication::processEvents();
        // Still open, no longer minimised; then closed by the test.
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_FALSE(dlg.isMinimized());
        dlg.done(7);
    });
    result = dlg.exec();
    EXPECT_EQ(result, 7);
}

TEST(SingleInstance, ClassOrder) {
    EXPECT_EQ(single_instance_classes(),
              QStringList({"TREVIK_CLASS", "TREVIK_PROGRAM_CLASS", "TREVIK_DATA_CLASS"}));
}

// The program started twice, as two processes.
class TwoProcesses : public ::testing::Test {
  protected:
    QProcess* start() {
        auto* p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", dir.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->start(TREVIK_EXE, {"--unit", "socket:" + dir.filePath("no-unit.sock")});
        p->waitForStarted(5000);
        processes.push_back(p);
        return p;
    }
    void TearDown() override {
        for (QProcess* p : processes) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        }
    }
    QTemporaryDir dir;
    std::vector<QProcess*> processes;
};

TEST_F(TwoProcesses, SecondStartRaisesTheFirstAndEnds) {
    SingleInstance first(dir.path());
    ASSERT_TRUE(first.acquire());
    ASSERT_TRUE(first.listen());
    int raised = 0;
    QObject::connect(&first, &SingleInstance::raiseRequested, [&] { ++raised; });

    QProcess* second = start();
    ASSERT_TRUE(wait_for([&] { return second->state() == QProcess::NotRunning; }, 15000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(wait_for([&] { return raised == 1; }, 2000));
}

TEST_F(TwoProcesses, RunsNormallyOnceTheFirstHasEnded) {
    QProcess* first = start();
    // The first start listens under its window class and keeps running.
    QString socket = SingleInstance(dir.path()).serverName("TREVIK_CLASS");
    ASSERT_TRUE(wait_for([&] { return QFile::exists(socket); }, 10000));
    QThread::msleep(300);
    EXPECT_EQ(first->state(), QProcess::Running);

    // A second start while it runs ends at once.
    QProcess* second = start();
    ASSERT_TRUE(wait_for([&] { return second->state() == QProcess::NotRunning; }, 15000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);

    // After the first has ended, a new start runs normally.
    first->kill();
    first->waitForFinished(5000);
    QProcess* third = start();
    QThread::msleep(1500);
    EXPECT_EQ(third->state(), QProcess::Running);
}

} // namespace
