// The window against the in-process emulated unit, with a scripted
// prompter and a temporary directory of its own as TMPDIR.
#pragma once

#include "app/TrevikDlg.h"
#include "app/prompter.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "controls/ButtonST.h"
#include "controls/TextProgressCtrl.h"
#include "tools/pkgbuild/pkgbuild.h"
#include "tools/unitsim/UnitSim.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace app_test {

// Seconds since 1970 of a date at midnight.
inline uint32_t day_seconds(int y, int m, int d) {
    // Days from civil (proleptic Gregorian).
    y -= m <= 2;
    int era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<uint32_t>((era * 146097 + static_cast<int>(doe) - 719468) * 86400u);
}

// A unit of the normal layout with its records; gps date when year != 0.
inline UnitMainSetting setup_unit(UnitSim& sim, const std::string& client, int year = 2019,
                                  int month = 3, int day = 18) {
    UnitMainSetting ms;
    ms.flashSize = sim.flashSize();
    ms.placeRegions(false, 0x1000, 0x4000, 0x1000, 0x8000, 0, 0);
    sim.setMainSetting(false, ms);
    sim.setParamRecord(false, 1);
    sim.setClientId(false, client);
    if (year)
        sim.setGpsHeader(ms.gpsAddress, day_seconds(year, month, day));
    return ms;
}

// The package the update tests write: boot, a program for the unit's
// board, voice, radar mute and GPS data.
inline PkgDescription standard_package() {
    return pkg_standard_description();
}

// Runs the event loop until pred holds or timeoutMs passed.
template <class Pred> bool wait_for(Pred pred, int timeoutMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return pred();
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/trevik-app-XXXXXX";
        dir = mkdtemp(tmpl);
        const char* old = std::getenv("TMPDIR");
        if (old)
            oldTmp = old;
        hadTmp = old != nullptr;
        setenv("TMPDIR", dir.c_str(), 1);
        // The tool's temporary files then go to TMPDIR as well.
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime)
            oldRuntime = runtime;
        hadRuntime = runtime != nullptr;
        unsetenv("XDG_RUNTIME_DIR");
        ms = setup_unit(sim, "TREVIK-DEMO ");
        plugIn();
    }
    void TearDown() override {
        dlg.reset();
        QV_Hid_selectSource("hid");
        if (hadTmp)
            setenv("TMPDIR", oldTmp.c_str(), 1);
        else
            unsetenv("TMPDIR");
        if (hadRuntime)
            setenv("XDG_RUNTIME_DIR", oldRuntime.c_str(), 1);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    void plugIn() {
        QV_Hid_selectEmulated([this] { return sim.transport(); });
    }
    void unplug() { QV_Hid_selectSource("socket:" + dir + "/no-unit.sock"); }

    // Opens the window; probe is what the removable-drive probe reports.
    void open(int probe = 0, uint32_t delayedOpenMs = 2000) {
        dlg = std::make_unique<CTrevikDlg>(&prompter);
        dlg->SetWatchDevices(false);
        dlg->SetStorageProbe([probe] { return probe; });
        dlg->SetDelayedOpenMs(delayedOpenMs);
        VersionHosts hosts;
        hosts.maker = versionHost;
        hosts.customer_b = versionHost;
        dlg->SetVersionHosts(hosts);
        ASSERT_TRUE(dlg->OnInitDialog());
    }

    bool enabled(int id) const { return dlg->Button(id)->isEnabled(); }
    // The last message box with this text (null: none was shown).
    const ScriptedPrompter::Record* box(const QString& text) const {
        for (auto it = prompter.records.rbegin(); it != prompter.records.rend(); ++it)
            if (it->kind == QLatin1String("message") && it->text == text)
                return &*it;
        return nullptr;
    }
    std::string title() const { return dlg->windowTitle().toStdString(); }
    std::string file(const std::string& name) const { return dir + "/" + name; }
    QString qfile(const std::string& name) const { return QString::fromStdString(file(name)); }

    // A package written by the builder.
    std::string writePackage(const std::string& name,
                             const PkgDescription& d = standard_package()) {
        std::string path = file(name);
        EXPECT_EQ(pkgbuild_write(d, path), 1);
        return path;
    }

    UnitSim sim;
    UnitMainSetting ms;
    ScriptedPrompter prompter;
    std::unique_ptr<CTrevikDlg> dlg;
    std::string dir;
    std::string versionHost = "127.0.0.1:9";
    std::string oldTmp, oldRuntime;
    bool hadTmp = false, hadRuntime = false;
};

} // namespace app_test
