// The removable-drive probe over a fake sysfs tree and mount table.
#include "common_t73/QV_Storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string decode(const std::string& text, int offset = 1) {
    std::vector<uint8_t> desc(text.size() + 2, 0);
    std::copy(text.begin(), text.end(), desc.begin() + 1);
    char out[128];
    return QV_Storage_decodeIdString(desc.data(), desc.size(), offset, out, sizeof out);
}

struct DecodeCase {
    const char* name;
    std::string text;
    std::string expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class DecodeIdString : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeIdString, Decodes) {
    EXPECT_EQ(decode(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeIdString,
    ::testing::Values(DecodeCase{"PlainWithTrailingBlank", "KELVORA ", "KELVORA"},
                      DecodeCase{"PaddedModel", "  KELVORA         ", "KELVORA"},
                      DecodeCase{"HexLower", "6b656c766f7261", "kelvora"},
                      DecodeCase{"HexUpper", "4B454C564F5241", "KELVORA"},
                      DecodeCase{"HexOddDigitDropped", "4b4", "K"},
                      DecodeCase{"HexBlankIsZeroDigitEndsText", "4b  4c", "K"},
                      DecodeCase{"HexNotPrintableFallsBackToText", "0102", "0102"},
                      DecodeCase{"HexBlankMakesUnprintableByte", "4b 4", "4b 4"},
                      DecodeCase{"TextWithControlCharIsEmpty", "KEL\x01VORA", ""},
                      DecodeCase{"TextWithTabIsEmpty", "KEL\tVORA x", ""},
                      DecodeCase{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeIdStringBounds, OffsetZeroOrNegativeOrPastEndIsEmpty) {
    uint8_t desc[] = {'K', 'E', 'L', 0};
    char out[16] = "junk";
    EXPECT_STREQ(QV_Storage_decodeIdString(desc, sizeof desc, 0, out, sizeof out), "");
    strcpy(out, "junk");
    EXPECT_STREQ(QV_Storage_decodeIdString(desc, sizeof desc, -3, out, sizeof out), "");
    strcpy(out, "junk");
    EXPECT_STREQ(QV_Storage_decodeIdString(desc, sizeof desc, 4, out, sizeof out), "");
    EXPECT_EQ(QV_Storage_decodeIdString(desc, sizeof desc, 1, nullptr, 4), nullptr);
}

TEST(DecodeIdStringBounds, UnterminatedStringStopsAtDescriptorEnd) {
    uint8_t desc[] = {0, 'K', 'E', 'L', 'V'};
    char out[16];
    EXPECT_STREQ(QV_Storage_decodeIdString(desc, sizeof desc, 1, out, sizeof out), "KELV");
}

TEST(DecodeIdStringBounds, OutputIsTruncatedToItsSize) {
    uint8_t desc[] = {0, 'K', 'E', 'L', 'V', 'O', 'R', 'A', 0};
    char out[4];
    EXPECT_STREQ(QV_Storage_decodeIdString(desc, sizeof desc, 1, out, sizeof out), "KEL");
}

// A fake sysfs tree under a temporary directory; the hand-back records the
// nodes it is given (the UDisks2 hand-back has its own test on a mocked bus).
class StorageProbe : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("trevik-storage-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "sys/block");
        sys = (root / "sys").string();
        roots.sysfs = sys.c_str();
        roots.dev = "/dev";
        roots.release = [](const char* node, QV_StorageReport* report, void* ctx) {
            static_cast<std::vector<std::string>*>(ctx)->push_back(node);
            if (report)
                report->failures.push_back("eject failed: refused");
            return 0;
        };
        roots.release_context = &released;
    }
    void TearDown() override { fs::remove_all(root); }

    static void write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }

    void addDisk(const std::string& disk, const std::string& model, bool removable) {
        fs::path d = root / "sys/block" / disk;
        write(d / "removable", removable ? "1\n" : "0\n");
        write(d / "device/model", model + "\n");
        write(d / (disk + "1") / "partition", "1\n");
    }

    fs::path root;
    std::string sys;
    QV_StorageRoots roots;
    std::vector<std::string> released;
};

TEST_F(StorageProbe, UnitDriveIsHandedBackAndItsFailuresReported) {
    addDisk("sdb", "KELVORA ", true);
    QV_StorageReport report;
    // Found even though handing it back failed.
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots, &report), 1);
    EXPECT_EQ(released, std::vector<std::string>{"/dev/sdb"});
    EXPECT_EQ(QV_Storage_reportText(report), "The unit's drive: eject failed: refused");
}

TEST_F(StorageProbe, HexModelMatches) {
    addDisk("sdb", "6b656c766f7261", true);
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 1);
    EXPECT_EQ(released, std::vector<std::string>{"/dev/sdb"});
}

TEST_F(StorageProbe, OnlyTheLaterOfTwoUnitDrivesIsTaken) {
    addDisk("sdb", "kelvora", true);
    addDisk("sdc", "Kelvora", true);
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 1);
    EXPECT_EQ(released, std::vector<std::string>{"/dev/sdc"});
}

TEST_F(StorageProbe, FixedDiskAndOtherDrivesAreLeftAlone) {
    addDisk("sda", "KELVORA", false);
    addDisk("sdd", "Flash Disk", true);
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 0);
    EXPECT_TRUE(released.empty());
}

TEST_F(StorageProbe, MissingRootsFindNothing) {
    EXPECT_EQ(QV_Storage_probeUnitAt(nullptr), 0);
    QV_StorageRoots none;
    std::string missing = (root / "nowhere").string();
    none.sysfs = missing.c_str();
    EXPECT_EQ(QV_Storage_probeUnitAt(&none), 0);
}

TEST(StorageReport, TextNamesEachFailedStepInOrder) {
    QV_StorageReport report;
    EXPECT_EQ(QV_Storage_reportText(report), "");
    report.failures = {"mount failed: Not authorized", "power off failed: busy"};
    EXPECT_EQ(QV_Storage_reportText(report),
              "The unit's drive: mount failed: Not authorized; power off failed: busy");
    EXPECT_STREQ(QV_Storage_stepName(QV_STORAGE_STEP_MARKER), "write the marker");
    EXPECT_STREQ(QV_Storage_stepName(static_cast<QV_StorageStep>(99)), "");
}

} // namespace
