// Shared pieces of the update tests: a host that records what the run shows,
// an emulated unit attached to a machine, packages written by the builder
// and the private temporary directory of each test (tests/helpers).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "online/HttpDownload.h"
#include "package/package.h"
#include "update/update_run.h"
#include "support/text.h"
#include "tests/helpers/temp_dir.h"
#include "tools/pkgbuild/pkgbuild.h"
#include "tools/unitsim/UnitSim.h"

namespace update_test {

inline std::string u8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

// Plays the window: records every call in order and answers the province
// question as scripted.
class RecordingHost : public UpdateHost {
  public:
    std::vector<std::string> events;
    int province_reply = 0;
    int province_mode = 0;
    std::vector<int> province_flags = std::vector<int>(PROVINCE_COUNT, 0);
    int province_asked = 0;
    bool closing = false;
    QV_Machine* machine = nullptr;
    CHttpDownload* download = nullptr;
    DownloadOwner* owner = nullptr;
    std::u16string failure;
    int download_asked = 0;

    void enableButtons(bool enabled) override {
        events.push_back(enabled ? "buttons on" : "buttons off");
    }
    void setProgressText(const std::u16string& text) override {
        events.push_back("text " + u8(text));
    }
    void setProgressRange(uint32_t upper) override { range = upper; }
    void setProgressPos(uint32_t pos) override { last_pos = pos; }
    int askProvince(int* mode, int flags[PROVINCE_COUNT]) override {
        ++province_asked;
        events.push_back("ask province");
        *mode = province_mode;
        for (int i = 0; i < PROVINCE_COUNT; ++i)
            flags[i] = province_flags[i];
        return province_reply;
    }
    void showMessage(const std::u16string& text, const std::u16string& caption,
                     UpdateIcon icon) override {
        events.push_back(std::string("box ") + (icon == UpdateIcon::Error ? "error" : "info") +
                         " [" + u8(caption) + "] " + u8(text));
    }
    bool isClosing() override { return closing; }
    bool isConnected() override { return QV_Machine_isConnected(machine) != 0; }
    CHttpDownload* downloadComponent() override {
        ++download_asked;
        return download;
    }
    DownloadOwner* downloadOwner() override { return owner; }
    std::u16string downloadFailureText() override { return failure; }
    void clearDownloadFailureText() override { failure.clear(); }
    void runEnded() override { events.push_back("ended"); }

    // The boxes shown, in order.
    std::vector<std::string> boxes() const {
        std::vector<std::string> out;
        for (const std::string& e : events)
            if (e.rfind("box ", 0) == 0)
                out.push_back(e);
        return out;
    }
    bool saw(const std::string& event) const {
        for (const std::string& e : events)
            if (e == event)
                return true;
        return false;
    }

    uint32_t range = 0;
    uint32_t last_pos = 0;
};

// Each line of a history file parsed; a line that is not JSON fails the
// test with a parse error.
inline std::vector<nlohmann::json> read_history_file(const std::string& path) {
    std::vector<nlohmann::json> list;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        list.push_back(nlohmann::json::parse(line));
    return list;
}

// Payloads of the standard package.
using Payloads = PkgStandardParts;

// A package with boot, one program for the unit's board, voice, radar mute
// and GPS data.
inline PkgDescription standard_package(const Payloads& p) {
    return pkg_standard_description(p);
}

// Sets a unit up as a connected unit of the normal layout with its records.
inline void setup_unit(UnitSim& sim, const std::string& client = "TREVIK-DEMO ") {
    UnitMainSetting ms;
    ms.flashSize = sim.flashSize();
    ms.placeRegions(false, 0x1000, 0x4000, 0x1000, 0x8000, 0, 0);
    sim.setMainSetting(false, ms);
    sim.setParamRecord(false, 1);
    sim.setClientId(false, client);
}

// trevik-cli against trevik-unit-sim: the socket, the unit's flash image
// and the standard package, all in the test's own directory.
class SocketUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        socket = tmp.path("unit.sock");
        image = tmp.path("unit.img");
        package = tmp.path("pkg.dqv");
        ASSERT_EQ(pkgbuild_write(standard_package(p), package), 1);
    }

    TempDir tmp;
    Payloads p;
    std::string socket, image, package;
};

// A machine attached to an in-process emulated unit.
class AttachedUnit {
  public:
    explicit AttachedUnit(UnitSim& sim) {
        machine = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
        QV_Machine_attach(machine, QV_Hid_openTransport(sim.transport()));
        QV_Machine_getDeveiceInfo(machine);
    }
    ~AttachedUnit() { QV_Machine_release(machine); }
    QV_Machine* machine = nullptr;
};

inline std::u16string w(const std::string& s) {
    return utf8_to_wtext(s);
}

inline Bytes flash_at(const UnitSim& sim, uint32_t address, size_t n) {
    return Bytes(sim.flash().begin() + address, sim.flash().begin() + address + n);
}

} // namespace update_test
