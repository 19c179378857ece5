// The service read-outs: device-information dump and server-data read-out.
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "common_t73/QV_Service.h"
#include "config/records.h"
#include "support/text.h"
#include "tests/device/machine_fixture.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ServiceTest : public MachineTest {
  protected:
    // Tests run side by side as separate processes: the name carries the pid.
    std::string path = testing::TempDir() + "service_readout_" + std::to_string(::getpid()) + ".bin";
    std::u16string wpath = utf8_to_wtext(path);

    void setRegion(uint32_t size) {
        UnitMainSetting ms;
        ms.placeRegions(false, size, 0x1000, 0, 0x1000, 0, 0);
        ms.serverSize = size; // placeRegions rounds the size up
        unit.setMainSetting(false, ms);
        for (uint32_t i = 0; i < size; ++i)
            unit.flash()[ms.serverAddress + i] = uint8_t(i * 13 + 5);
        testing::internal::CaptureStdout();
        ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
        testing::internal::GetCapturedStdout();
        unit.clearCommands();
        reports.clear();
    }
    void TearDown() override {
        std::remove(path.c_str());
        MachineTest::TearDown();
    }
};

TEST_F(ServiceTest, ReadsTheServerRegionPageByPage) {
    setRegion(0x10000);
    QV_ServiceOutcome o = QV_Service_readServerData(m, wpath.c_str());
    EXPECT_EQ(o.ok, 1);
    EXPECT_STREQ(o.message, "Write Ok!");
    EXPECT_STREQ(o.caption, "Tips");
    EXPECT_EQ(o.error_icon, 0);
    EXPECT_EQ(unit.count(CMD_READ), 256);
    for (const UnitCommand& c : unit.commands()) {
        EXPECT_EQ(c.b, 1u);
        EXPECT_EQ(c.mode, 1);
    }
    std::string file = readFile(path);
    ASSERT_EQ(file.size(), 65536u);
    EXPECT_EQ(0, std::memcmp(file.data(), flashAt(0x19000, 65536).data(), 65536));
    EXPECT_EQ(std::u16string(m->status_text), u"Load ");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front(), (ProgressReport{0, 10000}));
    EXPECT_EQ(reports.back(), (ProgressReport{1, 10000}));
}

TEST_F(ServiceTest, ATailUnderOnePageIsNotRead) {
    setRegion(300);
    QV_ServiceOutcome o = QV_Service_readServerData(m, wpath.c_str());
    EXPECT_EQ(o.ok, 1);
    EXPECT_EQ(unit.count(CMD_READ), 1);
    std::string file = readFile(path);
    ASSERT_EQ(file.size(), 300u);
    EXPECT_EQ(0, std::memcmp(file.data(), flashAt(0x19000, 256).data(), 256));
    EXPECT_EQ(file.substr(256), std::string(44, '\0'));
}

TEST_F(ServiceTest, FailuresNameTheirCause) {
    setRegion(0x2000);
    // Unplugged during the read-out.
    unit.unplugAfterReports(10);
    QV_ServiceOutcome o = QV_Service_readServerData(m, wpath.c_str());
    EXPECT_EQ(o.ok, 0);
    EXPECT_STREQ(o.message, "Write Error!");
    EXPECT_STREQ(o.caption, "");
    EXPECT_EQ(o.error_icon, 1);
    EXPECT_STREQ(o.status, "read fail！");
    EXPECT_EQ(std::u16string(m->status_text), u"read fail！");
    EXPECT_EQ(reports.back(), (ProgressReport{3, 10000}));
    EXPECT_TRUE(readFile(path).empty());

    unit.replug();
    std::u16string bad = utf8_to_wtext(testing::TempDir() + "no/such/dir/x.bin");
    o = QV_Service_readServerData(m, bad.c_str());
    EXPECT_STREQ(o.message, "Write Error!");
    EXPECT_STREQ(o.status, "open file fail！");

    // A region the unit's record places beyond its flash is not read.
    unit.clearCommands();
    rec_set_u32(m->main_setting + MS_OFF_SERVER_DATA_SIZE, 0xFFFFF000);
    o = QV_Service_readServerData(m, wpath.c_str());
    EXPECT_STREQ(o.status, "read fail！");
    EXPECT_TRUE(unit.commands().empty());

    QV_Machine_attach(m, nullptr);
    o = QV_Service_readServerData(m, wpath.c_str());
    EXPECT_STREQ(o.message, "   No hardware connected!");
    EXPECT_EQ(o.status, nullptr);
    o = QV_Service_dumpInfo(m, wpath.c_str());
    EXPECT_STREQ(o.message, "   No hardware connected!");
    EXPECT_EQ(o.error_icon, 1);
}

TEST_F(ServiceTest, DumpOkCarriesTheErrorIcon) {
    setRegion(0x1000);
    QV_ServiceOutcome o = QV_Service_dumpInfo(m, wpath.c_str());
    EXPECT_EQ(o.ok, 1);
    EXPECT_STREQ(o.message, "Write Ok!");
    EXPECT_STREQ(o.caption, "");
    EXPECT_EQ(o.error_icon, 1);
    EXPECT_EQ(readFile(path), QV_Machine_infoText(m));
    std::u16string bad = utf8_to_wtext(testing::TempDir() + "no/such/dir/x.txt");
    o = QV_Service_dumpInfo(m, bad.c_str());
    EXPECT_STREQ(o.message, "Write Error!");
}

} // namespace
