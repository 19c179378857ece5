// The report transport: unit paths, interface classes, unit sources, the
// socket transport against a served emulated unit, and open failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <atomic>
#include <cstring>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Hid.h"
#include "tests/device/test_cmd_support.h"
#include "tools/unitsim/UnitSim.h"

namespace {

// A private directory for sockets and files, removed at the end.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/trevik-hid-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const char* name) const { return (path / name).string(); }
};

// Puts the default unit source back after a test changed it.
struct SourceGuard {
    ~SourceGuard() { QV_Hid_selectSource("hid"); }
};

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

struct Attached {
    std::vector<std::u16string> paths;
    int answer = 0;
};

int collect(void* owner, const char16_t* path) {
    auto* a = static_cast<Attached*>(owner);
    a->paths.emplace_back(path);
    return a->answer;
}

} // namespace

TEST(HidPath, UnitPathsAreRecognisedWhateverTheirCase) {
    struct Case {
        const char16_t* path;
        bool unit;
    };
    const Case cases[] = {
        {u"\\\\?\\hid#vid_0416&pid_b500#6&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
         true},
        {u"\\\\?\\HID#VID_0416&PID_B500#6&1A2B3C&0&0000", true},
        {u"\\\\?\\hid#Vid_0416&Pid_B500", true},
        {u"\\\\?\\hid#vid_0416&pid_b501#6&1a2b3c", false},
        {u"\\\\?\\hid#vid_0417&pid_b500", false},
        {u"vid_0416pid_b500", false},
        {u"", false},
        {u"emulated:vid_0416&pid_b500", true},
    };
    for (const Case& c : cases) {
        std::u16string before(c.path);
        EXPECT_EQ(QV_Hid_isUnitPath(c.path), c.unit) << std::string(before.begin(), before.end());
        EXPECT_EQ(before, std::u16string(c.path)); // the caller's path is untouched
    }
    EXPECT_FALSE(QV_Hid_isUnitPath(nullptr));
}

TEST(HidPath, InterfaceClassesHaveTheirCodesAndUnknownIsVolume) {
    // Each GUID in memory order: first three groups little-endian.
    const uint8_t usb[16] = {0x10, 0xBF, 0xDC, 0xA5, 0x30, 0x65, 0xD2, 0x11,
                             0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED};
    const uint8_t volume[16] = {0x0D, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11,
                                0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B};
    const uint8_t disk[16] = {0x07, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11,
                              0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B};
    const uint8_t hid[16] = {0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11,
                             0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
    const uint8_t net[16] = {0x44, 0x89, 0x49, 0xAD, 0x2F, 0x76, 0xD0, 0x11,
                             0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C};
    uint8_t unknown[16];
    std::memcpy(unknown, hid, 16);
    unknown[15] ^= 1;
    EXPECT_EQ(QV_Hid_classOfGuid(usb), 1);
    EXPECT_EQ(QV_Hid_classOfGuid(volume), 2);
    EXPECT_EQ(QV_Hid_classOfGuid(disk), 3);
    EXPECT_EQ(QV_Hid_classOfGuid(hid), 4);
    EXPECT_EQ(QV_Hid_classOfGuid(net), 5);
    EXPECT_EQ(QV_Hid_classOfGuid(unknown), 2);
    EXPECT_EQ(QV_Hid_classOfGuid(nullptr), 2);
}

TEST(HidHandle, MissingHandleOrBufferFailsWithZeroCount) {
    uint8_t buffer[REPORT_SIZE] = {};
    int count = 7;
    EXPECT_EQ(QV_Hid_readReport(nullptr, buffer, &count), 0);
    EXPECT_EQ(count, 0);
    count = 7;
    EXPECT_EQ(QV_Hid_writeReport(nullptr, buffer, &count), 0);
    EXPECT_EQ(count, 0);
    QV_Hid_close(nullptr);
    QV_Hid_discardInput(nullptr);
    EXPECT_EQ(QV_Hid_openTransport(nullptr), nullptr);
    EXPECT_EQ(QV_Hid_open(nullptr), nullptr);

    UnitSim unit;
    QV_HidHandle* h = QV_Hid_openTransport(unit.transport());
    count = 7;
    EXPECT_EQ(QV_Hid_readReport(h, nullptr, &count), 0);
    EXPECT_EQ(count, 0);
    QV_Hid_close(h);
}

// ---- unit sources ----

TEST(HidSource, SourceTextIsChecked) {
    SourceGuard guard;
    EXPECT_EQ(QV_Hid_selectSource("socket:/run/unit.sock"), 1);
    EXPECT_EQ(QV_Hid_sourceText(), "socket:/run/unit.sock");
    for (const char* bad : {"socket:", "usb", "", "HID", "socket", "hid:"})
        EXPECT_EQ(QV_Hid_selectSource(bad), 0) << bad;
    EXPECT_EQ(QV_Hid_sourceText(), "socket:/run/unit.sock");
    EXPECT_EQ(QV_Hid_selectSource("hid"), 1);
    EXPECT_EQ(QV_Hid_sourceText(), "hid");
}

// Three units on the bus, listed by a fake enumeration: "hid" walks them in
// order, "hid:PATH" offers only the one at PATH, and a path that is no
// unit's offers none.
TEST(HidSource, HidPathChoosesOneUnitOfTheEnumeration) {
    SourceGuard guard;
    struct EnumeratorGuard {
        ~EnumeratorGuard() { QV_Hid_setEnumerator(nullptr); }
    } enumeratorGuard;
    QV_Hid_setEnumerator([] {
        return std::vector<QV_HidUnitInfo>{{"/dev/hidraw1", "A1", "Unit"},
                                           {"/dev/hidraw4", "", ""},
                                           {"/dev/hidraw7", "C3", "Unit"}};
    });
    ASSERT_EQ(QV_Hid_enumerate().size(), 3u);
    EXPECT_EQ(QV_Hid_enumerate()[0].serial, "A1");

    struct Case {
        const char* source;
        std::vector<std::u16string> offered;
    } cases[] = {
        {"hid", {u"/dev/hidraw1", u"/dev/hidraw4", u"/dev/hidraw7"}},
        {"hid:/dev/hidraw4", {u"/dev/hidraw4"}},
        {"hid:/dev/hidraw7", {u"/dev/hidraw7"}},
        {"hid:/dev/hidraw2", {}},
        {"hid:/dev/hidraw", {}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(QV_Hid_selectSource(c.source), 1) << c.source;
        EXPECT_EQ(QV_Hid_sourceText(), c.source);
        Attached attached;
        attached.answer = 1; // go on: every offered path is seen
        QV_Hid_findUnit(&attached, collect);
        EXPECT_EQ(attached.paths, c.offered) << c.source;
    }

    // The first unit is the one taken when the walk stops there.
    ASSERT_EQ(QV_Hid_selectSource("hid"), 1);
    Attached first;
    QV_Hid_findUnit(&first, collect);
    EXPECT_EQ(first.paths, std::vector<std::u16string>{u"/dev/hidraw1"});
}

TEST(HidSource, EmulatedUnitIsFoundAndOpened) {
    SourceGuard guard;
    UnitSim unit(0x400000, 1046);
    QV_Hid_selectEmulated([&unit] { return unit.transport(); });
    EXPECT_EQ(QV_Hid_sourceText(), "emulated");
    Attached attached;
    QV_Hid_findUnit(&attached, collect);
    ASSERT_EQ(attached.paths.size(), 1u);
    EXPECT_TRUE(QV_Hid_isUnitPath(attached.paths[0].c_str()));

    QV_HidChannel channel{};
    channel.handle = QV_Hid_open(attached.paths[0].c_str());
    ASSERT_NE(channel.handle, nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_OK);
    EXPECT_EQ(QV_Cmd_getFlashSize(&channel), 0x400000u);
    QV_Hid_close(channel.handle);

    QV_Hid_findUnit(&attached, nullptr); // no attach function: nothing happens
    EXPECT_EQ(attached.paths.size(), 1u);
}

TEST(HidSource, SocketUnitIsFoundOnlyWhileServed) {
    SourceGuard guard;
    TempDir dir;
    std::string sock = dir.file("unit.sock");
    ASSERT_EQ(QV_Hid_selectSource("socket:" + sock), 1);
    Attached none;
    QV_Hid_findUnit(&none, collect);
    EXPECT_TRUE(none.paths.empty());

    UnitSim unit(0x200000, 1030);
    UnitSimServer server(unit, sock);
    ASSERT_TRUE(server.start());
    Attached attached;
    QV_Hid_findUnit(&attached, collect);
    ASSERT_EQ(attached.paths.size(), 1u);
    EXPECT_EQ(attached.paths[0], u16("socket:" + sock));

    QV_HidChannel channel{};
    channel.handle = QV_Hid_open(attached.paths[0].c_str());
    ASSERT_NE(channel.handle, nullptr);
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 1030u);
    QV_Hid_close(channel.handle);
    server.stop();
}

// ---- socket transport ----

class SocketUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<UnitSimServer>(unit_, dir_.file("unit.sock"));
        ASSERT_TRUE(server_->start());
        channel_.handle = QV_Hid_open(u16("socket:" + dir_.file("unit.sock")).c_str());
        ASSERT_NE(channel_.handle, nullptr);
        channel_.bootVersion = 1046;
    }
    void TearDown() override {
        QV_Hid_close(channel_.handle);
        server_->stop();
    }
    TempDir dir_;
    UnitSim unit_{0x400000, 1046};
    std::unique_ptr<UnitSimServer> server_;
    QV_HidChannel channel_{};
};

TEST_F(SocketUnit, WholeTransfersRunOverTheSocket) {
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 31);
    uint32_t sum = 0;
    for (uint8_t b : data)
        sum += b;
    ASSERT_EQ(QV_Cmd_erase(&channel_, 0x20000, 4096), 0);
    ASSERT_EQ(QV_Cmd_write(&channel_, 0x20000, data.data(), 4096, 0, 1, sum), 0);
    std::vector<uint8_t> back(4096);
    ASSERT_EQ(QV_Cmd_read(&channel_, 0x20000, back.data(), 4096, 0), 0);
    EXPECT_EQ(back, data);
}

TEST_F(SocketUnit, AUnitThatNeverAnswersFailsTheReadAfterTheLimit) {
    unit_.addFault({UnitFault::NoReply, CMD_BOOT_VERSION});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel_), 0u);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(5000));
    // The channel stays usable.
    EXPECT_EQ(QV_Cmd_getFlashSize(&channel_), 0x400000u);
}

TEST_F(SocketUnit, ALateReplyLeftOnTheSocketIsDiscarded) {
    ASSERT_EQ(
        QV_Cmd_sendFrame(&channel_, CMD_BOOT_VERSION, RECORD_MAGIC, COMMAND_ACCESS_WORD, 0, 0, 0),
        1);
    // Give the served unit time to answer the abandoned command.
    for (int i = 0; i < 200 && unit_.reportsOut() < 1; ++i)
        ::usleep(1000);
    EXPECT_EQ(QV_Cmd_getFlashSize(&channel_), 0x400000u);
}

TEST_F(SocketUnit, AnUnpluggedUnitFailsEveryTransferUntilOpenedAgain) {
    unit_.unplugAfterReports(2);
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel_), 1046u); // frame and reply
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel_), 0u);
    EXPECT_EQ(QV_Cmd_finish(&channel_), 0);
    QV_Hid_close(channel_.handle);
    channel_.handle = QV_Hid_open(u16("socket:" + dir_.file("unit.sock")).c_str());
    ASSERT_NE(channel_.handle, nullptr);
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel_), 1046u);
}

TEST(HidOpen, RefusedSocketIsAnOpenFailure) {
    TempDir dir;
    EXPECT_EQ(QV_Hid_open(u16("socket:" + dir.file("nobody.sock")).c_str()), nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_FAILED);
    std::string longPath = "socket:/" + std::string(200, 'x');
    EXPECT_EQ(QV_Hid_open(u16(longPath).c_str()), nullptr);
    EXPECT_EQ(QV_Hid_open(u"emulated:vid_0416&pid_b500"), nullptr); // no emulated unit chosen
}

TEST(HidOpen, MissingDeviceNodeIsAPlainFailure) {
    TempDir dir;
    EXPECT_EQ(QV_Hid_open(u16(dir.file("hidraw9")).c_str()), nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_FAILED);
}

TEST(HidOpen, NodeThisUserMayNotOpenIsReportedAsDenied) {
    // A node owned by root with mode 0600, opened by an ordinary user: run
    // the open in a child that gives up root when the test runs as root.
    TempDir dir;
    std::string node = dir.file("hidraw0");
    FILE* f = std::fopen(node.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ::chmod(dir.path.c_str(), 0755);
    ::chmod(node.c_str(), geteuid() == 0 ? 0600 : 0000);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(10);
        QV_HidHandle* h = QV_Hid_open(u16(node).c_str());
        ::_exit(h ? 11 : static_cast<int>(QV_Hid_lastOpenError()));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(QV_HID_OPEN_DENIED));
}

// The text names the rule and the step for each way of installing: the
// package (plug in again, at the seat) and a build from source.
TEST(HidOpen, PermissionTextNamesTheRule) {
    std::string text = QV_Hid_permissionText();
    for (const char* part : {UNIT_UDEV_RULE, "trevik package", "plug the unit in again", "SSH",
                             "cmake --install", "udevadm"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

// ---- socket framing ----

namespace {

// A bare listener that plays a scripted conversation on one connection.
class RawUnit {
  public:
    explicit RawUnit(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              ::listen(fd_, 1) == 0;
    }
    ~RawUnit() {
        if (thread_.joinable())
            thread_.join();
        ::close(fd_);
    }
    bool ok() const { return ok_; }
    template <class F> void play(F script) {
        thread_ = std::thread([this, script] {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c >= 0) {
                script(c);
                ::close(c);
            }
        });
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    std::thread thread_;
};

bool read_report(int fd, uint8_t* out) {
    int have = 0;
    while (have < REPORT_SIZE) {
        ssize_t n = ::recv(fd, out + have, static_cast<size_t>(REPORT_SIZE - have), 0);
        if (n <= 0)
            return false;
        have += static_cast<int>(n);
    }
    return true;
}

// Reads one report and tells the host the unit has taken it.
bool take_report(int fd, uint8_t* out) {
    return read_report(fd, out) && ::send(fd, &SOCKET_REPORT_TAKEN, 1, MSG_NOSIGNAL) == 1;
}

} // namespace

TEST(HidSocketFraming, ReportsSplitOnTheWireAreJoinedAndLateHalvesNeverLand) {
    TempDir dir;
    std::string path = dir.file("raw.sock");
    RawUnit raw(path);
    ASSERT_TRUE(raw.ok());
    Report first = make_reply(0, 1111), second = make_reply(0, 2222);
    raw.play([&](int c) {
        uint8_t in[REPORT_SIZE];
        // 1: a reply in two pieces, well within the limit.
        take_report(c, in);
        ::send(c, first.data(), 10, MSG_NOSIGNAL);
        ::usleep(50 * 1000);
        ::send(c, first.data() + 10, REPORT_SIZE - 10, MSG_NOSIGNAL);
        // 2: a reply whose second half comes after the limit.
        take_report(c, in);
        ::send(c, first.data(), 30, MSG_NOSIGNAL);
        ::usleep(1300 * 1000);
        ::send(c, first.data() + 30, REPORT_SIZE - 30, MSG_NOSIGNAL);
        // 3: the next command gets its own, whole reply.
        take_report(c, in);
        ::send(c, second.data(), REPORT_SIZE, MSG_NOSIGNAL);
    });
    QV_HidChannel channel{};
    channel.bootVersion = 1046;
    channel.handle = QV_Hid_open(u16("socket:" + path).c_str());
    ASSERT_NE(channel.handle, nullptr);

    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 1111u);

    ASSERT_EQ(
        QV_Cmd_sendFrame(&channel, CMD_BOOT_VERSION, RECORD_MAGIC, COMMAND_ACCESS_WORD, 0, 0, 0),
        1);
    uint8_t buffer[REPORT_SIZE];
    std::memset(buffer, 0xEE, sizeof buffer);
    int count = 5;
    EXPECT_EQ(QV_Hid_readReport(channel.handle, buffer, &count), 0);
    EXPECT_EQ(count, 0);
    ::usleep(700 * 1000); // the rest of the abandoned reply arrives meanwhile
    for (uint8_t b : buffer)
        ASSERT_EQ(b, 0xEE);

    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 2222u);
    QV_Hid_close(channel.handle);
}

// A write completes when the unit has taken the report, not when the socket
// took it; reports the unit sends meanwhile wait for the next read.
TEST(HidSocketFlow, AWriteCompletesOnlyOnceTheUnitTookTheReport) {
    TempDir dir;
    std::string path = dir.file("raw.sock");
    RawUnit raw(path);
    ASSERT_TRUE(raw.ok());
    std::atomic<int> taken{0};
    Report reply = make_reply(0, 4242);
    raw.play([&](int c) {
        uint8_t in[REPORT_SIZE];
        // 1: taken a while after it arrived.
        read_report(c, in);
        ::usleep(100 * 1000);
        taken = 1;
        ::send(c, &SOCKET_REPORT_TAKEN, 1, MSG_NOSIGNAL);
        // 2: a reply goes out before the unit says it took the report.
        read_report(c, in);
        ::send(c, reply.data(), REPORT_SIZE, MSG_NOSIGNAL);
        ::usleep(50 * 1000);
        taken = 2;
        ::send(c, &SOCKET_REPORT_TAKEN, 1, MSG_NOSIGNAL);
        // 3: taken only after the host's limit; the next report is taken
        // later still.
        read_report(c, in);
        ::usleep(1300 * 1000);
        ::send(c, &SOCKET_REPORT_TAKEN, 1, MSG_NOSIGNAL);
        read_report(c, in);
        ::usleep(50 * 1000);
        taken = 4;
        ::send(c, &SOCKET_REPORT_TAKEN, 1, MSG_NOSIGNAL);
        uint8_t end;
        ::recv(c, &end, 1, 0); // until the host closes
    });
    QV_HidHandle* h = QV_Hid_open(u16("socket:" + path).c_str());
    ASSERT_NE(h, nullptr);
    uint8_t report[REPORT_SIZE] = {};
    int count = 0;
    ASSERT_EQ(QV_Hid_writeReport(h, report, &count), 1);
    EXPECT_EQ(count, REPORT_SIZE);
    EXPECT_EQ(taken, 1);

    ASSERT_EQ(QV_Hid_writeReport(h, report, &count), 1);
    EXPECT_EQ(taken, 2);
    uint8_t got[REPORT_SIZE];
    ASSERT_EQ(QV_Hid_readReport(h, got, &count), 1);
    EXPECT_EQ(std::memcmp(got, reply.data(), REPORT_SIZE), 0);

    // A unit slower than the limit fails the write, and its late answer is
    // not taken for the answer to the next report.
    EXPECT_EQ(QV_Hid_writeReport(h, report, &count), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(QV_Hid_writeReport(h, report, &count), 1);
    EXPECT_EQ(taken, 4);
    QV_Hid_close(h);
}

TEST(HidSocketFlow, AUnitThatNeverTakesTheReportFailsTheWriteAndAClosedOneIsGone) {
    TempDir dir;
    std::string path = dir.file("raw.sock");
    RawUnit raw(path);
    ASSERT_TRUE(raw.ok());
    raw.play([&](int c) {
        uint8_t in[REPORT_SIZE];
        read_report(c, in);
        ::usleep(1200 * 1000); // never answers the first; then unplugged
    });
    QV_HidHandle* h = QV_Hid_open(u16("socket:" + path).c_str());
    ASSERT_NE(h, nullptr);
    uint8_t report[REPORT_SIZE] = {};
    EXPECT_EQ(QV_Hid_writeReport(h, report, nullptr), 0);
    ::usleep(400 * 1000);
    EXPECT_EQ(QV_Hid_writeReport(h, report, nullptr), 0);
    EXPECT_EQ(QV_Hid_readReport(h, report, nullptr), 0);
    QV_Hid_close(h);
}

// A paced unit behind the socket: whole transfers of hundreds of reports
// take as long as the unit needs and succeed.
TEST(HidSocketFlow, APacedUnitMakesATransferSlowerNeverFailed) {
    TempDir dir;
    UnitSim unit(0x400000, 1046);
    unit.setReportDelayUs(3000);
    UnitSimServer server(unit, dir.file("unit.sock"));
    ASSERT_TRUE(server.start());
    QV_HidChannel channel{};
    channel.bootVersion = 1046;
    channel.handle = QV_Hid_open(u16("socket:" + dir.file("unit.sock")).c_str());
    ASSERT_NE(channel.handle, nullptr);
    // Seven sectors, 448 data reports: 1.3 s of the unit's time, more than
    // one report's limit.
    std::vector<uint8_t> data(7 * 4096);
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 1);
        sum += data[i];
    }
    ASSERT_EQ(QV_Cmd_erase(&channel, 0x40000, static_cast<uint32_t>(data.size())), 0);
    EXPECT_EQ(
        QV_Cmd_write(&channel, 0x40000, data.data(), static_cast<uint32_t>(data.size()), 0, 1, sum),
        0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), unit.flash().begin() + 0x40000));
    QV_Hid_close(channel.handle);
    server.stop();
}

// ---- the emulator's socket appearing ----

// Whoever sees the socket appear can connect at once: the server listens
// before the name shows. Watched with inotify, as a desktop watcher does.
TEST(UnitSimSocket, TheSocketAppearsOnlyOnceItAccepts) {
    TempDir dir;
    std::string name = "unit.sock";
    std::string path = dir.file(name.c_str());
    for (int round = 0; round < 20; ++round) {
        int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, dir.path.c_str(), IN_CREATE | IN_MOVED_TO), 0);
        UnitSim unit(0x200000, 1046);
        UnitSimServer server(unit, path);
        std::thread starter([&] { server.listen(); });
        bool seen = false;
        alignas(inotify_event) char buf[4096];
        while (!seen) {
            ssize_t n = ::read(watch, buf, sizeof buf);
            ASSERT_GT(n, 0);
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                if (ev->len && name == ev->name)
                    seen = true;
                p += sizeof(inotify_event) + ev->len;
            }
        }
        // A bare connect, without the transport's retries.
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
            << "round " << round << ": " << std::strerror(errno);
        ::close(fd);
        starter.join();
        ::close(watch);
    }
    // No staging name is left behind, and each server removed its socket.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{});
}

TEST(UnitSimSocket, AStaleSocketIsReplacedAndAnythingElseKept) {
    TempDir dir;
    std::string path = dir.file("unit.sock");
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    {
        UnitSim unit(0x200000, 1046);
        UnitSimServer server(unit, path);
        EXPECT_FALSE(server.listen());
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    // A socket file whose server is gone.
    std::filesystem::remove(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    UnitSim unit(0x200000, 1030);
    UnitSimServer server(unit, path);
    ASSERT_TRUE(server.start());
    QV_HidChannel channel{};
    channel.handle = QV_Hid_open(u16("socket:" + path).c_str());
    ASSERT_NE(channel.handle, nullptr);
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 1030u);
    QV_Hid_close(channel.handle);
    server.stop();
}

// Attaching right as an emulator starts: a socket that refuses for a moment
// is tried again.
TEST(HidOpen, ASocketThatRefusesBrieflyIsTriedAgain) {
    TempDir dir;
    std::string path = dir.file("late.sock");
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::thread later([fd] {
        ::usleep(40 * 1000);
        ::listen(fd, 1);
    });
    QV_HidHandle* h = QV_Hid_open(u16("socket:" + path).c_str());
    later.join();
    EXPECT_NE(h, nullptr);
    QV_Hid_close(h);
    ::close(fd);
    // Still refused after the retries: an open failure.
    int dead = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string stale = dir.file("stale.sock");
    std::memcpy(addr.sun_path, stale.c_str(), stale.size() + 1);
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(QV_Hid_open(u16("socket:" + stale).c_str()), nullptr);
    EXPECT_EQ(QV_Hid_lastOpenError(), QV_HID_OPEN_FAILED);
    ::close(dead);
}
