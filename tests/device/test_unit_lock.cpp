// One program per unit: the lock taken with the unit's handle, the holder's
// process id from the kernel's lock table, and a held unit left untouched.
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_UnitLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/platform.h"
#include "support/temp_dir.h"
#include "tools/unitsim/UnitSim.h"

namespace {

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/trevik-lock-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const char* name) const { return (path / name).string(); }
};

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::string own_in_use_text() {
    return "The unit is in use by another program (process " + std::to_string(::getpid()) + ")";
}

TEST(UnitLock, SecondTakerIsTurnedAwayWithTheHoldersProcess) {
    TempDir dir;
    std::string path = dir.file("unit.sock.lock");
    int first = -1, second = -1, holder = -1;
    ASSERT_EQ(QV_UnitLock_acquire(path, true, &first, &holder), QV_UNIT_LOCK_HELD);
    EXPECT_GE(first, 0);
    EXPECT_EQ(holder, 0);
    // Another open of the same file, as another program would make.
    EXPECT_EQ(QV_UnitLock_acquire(path, true, &second, &holder), QV_UNIT_LOCK_BUSY);
    EXPECT_EQ(second, -1);
    EXPECT_EQ(holder, ::getpid());
    ::close(first);
    EXPECT_EQ(QV_UnitLock_acquire(path, true, &second, &holder), QV_UNIT_LOCK_HELD);
    ::close(second);
}

TEST(UnitLock, MissingFileIsOnlyMadeWhenAsked) {
    TempDir dir;
    int fd = -1, holder = 0;
    EXPECT_EQ(QV_UnitLock_acquire(dir.file("absent"), false, &fd, &holder), QV_UNIT_LOCK_FAILED);
    EXPECT_FALSE(std::filesystem::exists(dir.file("absent")));
    EXPECT_EQ(QV_UnitLock_acquire(dir.file("nodir/x.lock"), true, &fd, &holder),
              QV_UNIT_LOCK_FAILED);
    EXPECT_EQ(fd, -1);
}

// The holder comes from flock lines of the file's own device and inode;
// waiters, POSIX locks and other files are no holders.
TEST(UnitLock, HolderIsReadFromTheLockTable) {
    TempDir dir;
    std::string path = dir.file("unit.lock");
    std::ofstream(path) << "";
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    char id[64], other[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::snprintf(other, sizeof other, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino + 1));
    struct Case {
        const char* name;
        std::string table;
        int pid;
    };
    const Case cases[] = {
        {"Holder", std::string("1: FLOCK  ADVISORY  WRITE 4242 ") + id + " 0 EOF\n", 4242},
        {"OtherFileFirst",
         std::string("1: FLOCK  ADVISORY  WRITE 11 ") + other + " 0 EOF\n" +
             "2: FLOCK  ADVISORY  WRITE 12 " + id + " 0 EOF\n",
         12},
        {"WaiterIsNoHolder", std::string("1: -> FLOCK  ADVISORY  WRITE 13 ") + id + " 0 EOF\n", 0},
        {"PosixLockIsNoHolder", std::string("1: POSIX  ADVISORY  WRITE 14 ") + id + " 0 EOF\n", 0},
        {"Empty", "", 0},
        {"Garbage", "not a lock table\n\n", 0},
    };
    for (const Case& c : cases) {
        std::string table = dir.file("locks");
        std::ofstream(table, std::ios::trunc) << c.table;
        EXPECT_EQ(QV_UnitLock_holderPid(fd, table.c_str()), c.pid) << c.name;
    }
    EXPECT_EQ(QV_UnitLock_holderPid(fd, dir.file("none").c_str()), 0);
    EXPECT_EQ(QV_UnitLock_holderPid(-1), 0);
    ::close(fd);
}

TEST(UnitLock, InUseText) {
    EXPECT_EQ(QV_UnitLock_inUseText(0), "The unit is in use by another program");
    EXPECT_EQ(QV_UnitLock_inUseText(321), "The unit is in use by another program (process 321)");
}

// Opens on several threads at once (one worker per unit): each thread
// learns why its own open failed, whatever another thread's open did since.
TEST(UnitLockHandle, EachThreadKeepsItsOwnOpenError) {
    TempDir dir;
    std::string sock = dir.file("unit.sock");
    UnitSim unit(0x400000, 1046);
    UnitSimServer server(unit, sock);
    ASSERT_TRUE(server.start());
    std::u16string path = u16("socket:" + sock);
    QV_HidHandle* held = QV_Hid_open(path.c_str());
    ASSERT_NE(held, nullptr);

    std::atomic<int> step{0};
    QV_HidOpenError seen = QV_HID_OPEN_OK;
    std::thread worker([&] {
        QV_HidHandle* h = QV_Hid_open(path.c_str()); // busy: the test holds it
        step = 1;
        while (step != 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seen = QV_Hid_lastOpenError();
        QV_Hid_close(h);
    });
    while (step != 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::u16string missing = u16("socket:" + dir.file("none.sock"));
    EXPECT_EQ(QV_Hid_open(missing.c_str()), nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_FAILED);
    step = 2;
    worker.join();
    EXPECT_EQ(seen, QV_HID_OPEN_BUSY);
    QV_Hid_close(held);
}

// A unit on a socket: the handle holds the lock beside the socket until it
// is closed, and a second open neither connects nor disturbs the first.
TEST(UnitLockHandle, HandleHoldsTheUnitUntilClosed) {
    TempDir dir;
    std::string sock = dir.file("unit.sock");
    UnitSim unit(0x400000, 1046);
    UnitSimServer server(unit, sock);
    ASSERT_TRUE(server.start());
    std::u16string path = u16("socket:" + sock);

    QV_HidHandle* first = QV_Hid_open(path.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(std::filesystem::exists(sock + ".lock"));
    EXPECT_EQ(QV_Hid_open(path.c_str()), nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_BUSY);
    EXPECT_EQ(QV_Hid_inUseText(), own_in_use_text());

    // The first handle still talks to the unit.
    uint8_t report[REPORT_SIZE] = {};
    int n = 0;
    EXPECT_EQ(QV_Hid_writeReport(first, report, &n), 1);

    QV_Hid_close(first);
    QV_HidHandle* again = QV_Hid_open(path.c_str());
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_OK);
    QV_Hid_close(again);
    server.stop();
}

TEST(UnitLockHandle, FailedOpenLeavesNoLockBehind) {
    TempDir dir;
    std::string sock = dir.file("nobody.sock");
    EXPECT_EQ(QV_Hid_open(u16("socket:" + sock).c_str()), nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_FAILED);
    int fd = -1, holder = 0;
    EXPECT_EQ(QV_UnitLock_acquire(sock + ".lock", true, &fd, &holder), QV_UNIT_LOCK_HELD);
    ::close(fd);
}

// Without its lock a unit is not opened: a file that cannot serve as the
// lock beside the socket keeps the unit closed, with the reason.
TEST(UnitLockHandle, ALockThatCannotBeTakenKeepsTheUnitClosed) {
    struct Case {
        const char* name;
        void (*plant)(const std::string& lock);
        const char* reason;
    } cases[] = {
        {"DanglingLink",
         [](const std::string& lock) { ASSERT_EQ(::symlink("/nonexistent/x", lock.c_str()), 0); },
         "No such file or directory"},
        {"LinkLoop",
         [](const std::string& lock) { ASSERT_EQ(::symlink(lock.c_str(), lock.c_str()), 0); },
         "Too many levels of symbolic links"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string sock = dir.file("unit.sock");
        UnitSim unit(0x400000, 1046);
        UnitSimServer server(unit, sock);
        ASSERT_TRUE(server.start());
        c.plant(sock + ".lock");
        EXPECT_EQ(QV_Hid_open(u16("socket:" + sock).c_str()), nullptr) << c.name;
        EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_LOCK_FAILED) << c.name;
        bool permission = true;
        EXPECT_EQ(QV_Hid_lockFailedText(&permission), "The unit's lock " + sock +
                                                          ".lock cannot be taken (" + c.reason +
                                                          "): the unit is not opened")
            << c.name;
        EXPECT_FALSE(permission);
        // The unit never saw a connection.
        EXPECT_TRUE(unit.commands().empty()) << c.name;
        server.stop();
    }
}

} // namespace

namespace {

// A real unit's lock: the device node itself where nodes take locks; else a
// lock file of its own in the private temporary folder, one name per
// device path, that a second holder finds busy.
TEST(UnitLockPath, DeviceNodeOrALockFileOfItsOwn) {
    const std::string device = "\\\\?\\hid#vid_0416&pid_b500#7&2b3c&0&0000#{4d1e55b2}";
    std::string lock = QV_UnitLock_pathForDevice(device);
    if (platform_devices_lockable()) {
        EXPECT_EQ(lock, device);
        EXPECT_EQ(QV_UnitLock_pathForDevice("/dev/hidraw3"), "/dev/hidraw3");
        return;
    }
    std::string dir = temp_dir_ensure();
    ASSERT_EQ(lock.rfind(dir + platform_separator() + "unit-device-", 0), 0u) << lock;
    EXPECT_EQ(lock.find_first_of("\\/:?*#&{}", dir.size() + 1), std::string::npos) << lock;
    EXPECT_NE(QV_UnitLock_pathForDevice(device + "1"), lock);
    int a = -1, b = -1, holder = 0;
    ASSERT_EQ(QV_UnitLock_acquire(lock, true, &a, &holder), QV_UNIT_LOCK_HELD);
    EXPECT_EQ(QV_UnitLock_acquire(lock, true, &b, &holder), QV_UNIT_LOCK_BUSY);
    platform_close(a);
    platform_remove(lock);
}

} // namespace
