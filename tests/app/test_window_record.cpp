// The window's session recorded (TREVIK_RECORD=FILE, trevik --record FILE)
// while it reads an emulated unit served on a socket.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/unitsim/UnitSim.h"

namespace {

QList<QByteArray> session_lines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll().split('\n');
}

TEST(WindowRecord, TheWindowsUnitEventsAreRecorded) {
    struct Case {
        const char* name;
        bool byEnvironment;
    };
    for (const Case& c : {Case{"TREVIK_RECORD", true}, Case{"--record", false}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        UnitSim unit(0x800000, 1046);
        UnitMainSetting ms;
        ms.placeRegions(false, 0x10000, 0x200000, 0xC8000, 0x400000, 0, 0);
        unit.setMainSetting(false, ms);
        unit.setParamRecord(false, 5);
        unit.setClientId(false, "TREVIK-DEMO 0042");
        UnitSimServer server(unit, dir.filePath("unit.sock").toStdString());
        ASSERT_TRUE(server.start());

        QString session = dir.filePath("window.jsonl");
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", dir.path());
        env.insert("XDG_STATE_HOME", dir.filePath("state"));
        env.remove("XDG_RUNTIME_DIR");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QStringList args = {"--unit", "socket:" + dir.filePath("unit.sock")};
        if (c.byEnvironment)
            env.insert("TREVIK_RECORD", session);
        else
            args << "--record" << session;
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.setStandardOutputFile(QProcess::nullDevice());
        p.start(TREVIK_EXE, args);
        ASSERT_TRUE(p.waitForStarted(5000));

        // The window reads the unit's information once it finds it: the
        // last of those reads is the identity block's.
        QElapsedTimer t;
        t.start();
        while (session_lines(session).size() < 20 && t.elapsed() < 20000)
            QThread::msleep(20);
        p.terminate();
        if (!p.waitForFinished(5000))
            p.kill();
        p.waitForFinished(5000);
        server.stop();

        QList<QByteArray> lines = session_lines(session);
        ASSERT_GE(lines.size(), 20);
        nlohmann::json header = nlohmann::json::parse(lines[0].toStdString());
        EXPECT_EQ(header["command"], nlohmann::json({"window"}));
        EXPECT_EQ(header["source"], "socket");
        EXPECT_EQ(header["tool"].get<std::string>().rfind("trevik ", 0), 0u);
        EXPECT_EQ(nlohmann::json::parse(lines[1].toStdString())["event"], "open");
        EXPECT_EQ(nlohmann::json::parse(lines[2].toStdString())["event"], "write");
    }
}

} // namespace
