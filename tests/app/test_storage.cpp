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

// A fake sysfs, device and mount tree under a temporary directory.
class StorageProbe : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("trevik-storage-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "sys/block");
        fs::create_directories(root / "dev");
        sys = (root / "sys").string();
        mountinfo = (root / "mountinfo").string();
        dev = (root / "dev").string();
        roots.sysfs = sys.c_str();
        roots.mountinfo = mountinfo.c_str();
        roots.dev = dev.c_str();
        roots.eject = [](const char* node, void* ctx) {
            static_cast<std::vector<std::string>*>(ctx)->push_back(node);
            return 1;
        };
        roots.eject_context = &ejected;
        write(root / "mountinfo", "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n");
    }
    void TearDown() override { fs::remove_all(root); }

    static void write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }

    // A disk with one partition mounted at mnt/<disk>1 (unless mounted is false).
    fs::path addDisk(const std::string& disk, int minor, const std::string& model, bool removable,
                     bool mounted = true, const std::string& mountName = "") {
        fs::path d = root / "sys/block" / disk;
        write(d / "removable", removable ? "1\n" : "0\n");
        write(d / "device/model", model + "\n");
        write(d / "dev", "8:" + std::to_string(minor) + "\n");
        write(d / (disk + "1") / "dev", "8:" + std::to_string(minor + 1) + "\n");
        fs::path mnt = root / "mnt" / (mountName.empty() ? disk + "1" : mountName);
        if (mounted) {
            fs::create_directories(mnt);
            std::string escaped = mnt.string();
            for (size_t i; (i = escaped.find(' ')) != std::string::npos;)
                escaped.replace(i, 1, "\\040");
            std::ofstream(root / "mountinfo", std::ios::app)
                << "40 22 8:" << minor + 1 << " / " << escaped << " rw,nosuid shared:5 - vfat /dev/"
                << disk << "1 rw\n";
        }
        return mnt;
    }

    static std::string contents(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path root;
    std::string sys, mountinfo, dev;
    QV_StorageRoots roots;
    std::vector<std::string> ejected;
};

TEST_F(StorageProbe, UnitDriveIsMarkedAndEjected) {
    fs::path mnt = addDisk("sdb", 16, "KELVORA ", true);
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 1);
    EXPECT_EQ(contents(mnt / "1.txt"), "abcdefd");
    ASSERT_EQ(ejected.size(), 1u);
    EXPECT_EQ(ejected[0], dev + "/sdb");
}

TEST_F(StorageProbe, HexModelMatchesAndMarkerIsTruncated) {
    fs::path mnt = addDisk("sdb", 16, "6b656c766f7261", true);
    write(mnt / "1.txt", "a much longer old marker");
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 1);
    EXPECT_EQ(contents(mnt / "1.txt"), "abcdefd");
}

TEST_F(StorageProbe, OnlyTheLaterOfTwoUnitDrivesIsTaken) {
    fs::path first = addDisk("sdb", 16, "kelvora", true);
    fs::path second = addDisk("sdc", 32, "Kelvora", true);
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 1);
    EXPECT_TRUE(fs::exists(second / "1.txt"));
    EXPECT_FALSE(fs::exists(first / "1.txt"));
    EXPECT_EQ(ejected, std::vector<std::string>{dev + "/sdc"});
}

TEST_F(StorageProbe, FixedDiskAndOtherDrivesAreLeftAlone) {
    fs::path fixed = addDisk("sda", 0, "KELVORA", false);
    fs::path stick = addDisk("sdd", 48, "Flash Disk", true);
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 0);
    EXPECT_FALSE(fs::exists(fixed / "1.txt"));
    EXPECT_FALSE(fs::exists(stick / "1.txt"));
    EXPECT_TRUE(ejected.empty());
}

TEST_F(StorageProbe, MountPointWithBlankIsDecoded) {
    fs::path mnt = addDisk("sdb", 16, "KELVORA", true, true, "GPS UNIT");
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 1);
    EXPECT_EQ(contents(mnt / "1.txt"), "abcdefd");
}

TEST_F(StorageProbe, UnmountedUnitDriveIsStillEjected) {
    addDisk("sdb", 16, "KELVORA", true, false);
    EXPECT_EQ(QV_Storage_probeUnitAt(&roots), 1);
    EXPECT_EQ(ejected.size(), 1u);
}

TEST_F(StorageProbe, MissingRootsFindNothing) {
    EXPECT_EQ(QV_Storage_probeUnitAt(nullptr), 0);
    QV_StorageRoots none;
    std::string missing = (root / "nowhere").string();
    none.sysfs = missing.c_str();
    none.mountinfo = missing.c_str();
    EXPECT_EQ(QV_Storage_probeUnitAt(&none), 0);
}

} // namespace
