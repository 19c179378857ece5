// The version check: the URL table, reading version files, and the whole
// check against a real server on 127.0.0.1.
#include "online/HttpDownload.h"
#include "online/VersionCheck.h"

#include "tests/helpers/test_server.h"
#include "test_support.h"

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "tools/unitsim/UnitSim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---- URL table -------------------------------------------------------------

std::u16string url_for(const char* tool, const std::string& client, const VersionHosts& hosts) {
    std::vector<uint8_t> id(256, 0xFF);
    std::memcpy(id.data(), client.data(), std::min<size_t>(client.size(), 256));
    return version_file_url(tool, id.data(), id.size(), hosts);
}

TEST(VersionFileUrl, FirstMatchingRowGivesHostAndPath) {
    VersionHosts hosts;
    hosts.maker = "maker.test";
    hosts.customer_b = "b.test:8080";
    const char* tool = "TREVIK-DEMO ";
    const std::string a_name(VERSION_CUSTOMER_A_NAME, 11);
    struct Case {
        const char* tool;
        std::string client;
        const char16_t* url;
    };
    const Case cases[] = {
        // A tool without customer reads the test file whatever the unit.
        {NO_CUSTOMER_NAME, "VELMORA NAV", u"http://maker.test/UserFiles/File/testNet.txt"},
        {tool, a_name + " unit 7", u"http://maker.test/UserFiles/File/velmora.txt"},
        {tool, "QT471-X", u"http://b.test:8080/ditu/qt471k/qt471kUP.txt"},
        {tool, "DASTRN", u"http://maker.test/UserFiles/File/dastrine.txt"},
        {tool, "CORVELAN", u"http://maker.test/UserFiles/File/corvelandis.txt"},
        {tool, "MARROWFELD2", u"http://maker.test/UserFiles/File/marrowfeld.txt"},
        {tool, "OLVS", u"http://maker.test/UserFiles/File/olvessa.txt"},
        // Only the given number of bytes is compared.
        {tool, a_name.substr(0, 10), u""},
        {tool, "QT47", u""},
        {tool, "OLV", u""},
        {tool, "PARTNR 0001", u""},
        {tool, "", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.client);
        EXPECT_EQ(url_for(c.tool, c.client, hosts), c.url);
    }
}

// Customer A is the tool's own customer unless the build names another: the
// units the tool is built for read their version file from the maker.
TEST(VersionFileUrl, TheToolsOwnUnitsHaveAnOnlineCheck) {
#ifndef TREVIK_CUSTOMER_A_NAME
    EXPECT_EQ(std::string(VERSION_CUSTOMER_A_NAME), std::string(TOOL_CUSTOMER_NAME, 11));
#endif
    VersionHosts hosts;
    hosts.maker = "maker.test";
    bool no_customer = std::strcmp(TOOL_CUSTOMER_NAME, NO_CUSTOMER_NAME) == 0;
    EXPECT_EQ(url_for(TOOL_CUSTOMER_NAME, std::string(TOOL_CUSTOMER_NAME) + "0001", hosts),
              no_customer ? u"http://maker.test/UserFiles/File/testNet.txt"
                          : u"http://maker.test/UserFiles/File/velmora.txt");
}

TEST(VersionFileUrl, DefaultsToTheBuildHostsAndRefusesNull) {
    std::u16string url = url_for(NO_CUSTOMER_NAME, "", VersionHosts());
    EXPECT_EQ(url, w(std::string("http://") + VERSION_HOST_MAKER + "/UserFiles/File/testNet.txt"));
    uint8_t id[4] = {'O', 'L', 'V', 'S'};
    EXPECT_EQ(version_file_url(nullptr, id, 4), u"");
    EXPECT_EQ(version_file_url("x", nullptr, 4), u"");
    // Fewer client-id bytes than a row compares never match it.
    EXPECT_EQ(version_file_url("x", id, 3), u"");
    EXPECT_NE(version_file_url("x", id, 4), u"");
}

TEST(VersionFileUrl, ComesFromTheAttachedUnitsClientId) {
    std::u16string url = u"unchanged";
    EXPECT_EQ(BuildVersionFileUrl(nullptr, &url), 0);
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(BuildVersionFileUrl(m, &url), 0); // no unit open
    EXPECT_EQ(url, u"unchanged");

    UnitSim sim;
    ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(sim.transport())), 1);
    std::memset(m->identity, 0xFF, sizeof m->identity);
    std::memcpy(m->identity, "DASTRN-7", 8);
    VersionHosts hosts;
    hosts.maker = "127.0.0.1:1";
    EXPECT_EQ(BuildVersionFileUrl(m, &url, hosts), 1);
    bool no_customer = std::strcmp(TOOL_CUSTOMER_NAME, NO_CUSTOMER_NAME) == 0;
    EXPECT_EQ(url, no_customer ? u"http://127.0.0.1:1/UserFiles/File/testNet.txt"
                               : u"http://127.0.0.1:1/UserFiles/File/dastrine.txt");
    std::memcpy(m->identity, "NOBODY", 6);
    EXPECT_EQ(BuildVersionFileUrl(m, &url, hosts), 1);
    EXPECT_EQ(url, no_customer ? u"http://127.0.0.1:1/UserFiles/File/testNet.txt" : u"");
    QV_Machine_release(m);
}

// ---- Reading version files -------------------------------------------------

struct VersionFile : ::testing::Test {
    TempDir tmp;
    std::string path = tmp.path("Tmp");
    VersionCheckState st;
    VersionCheckView view;

    int load(const std::string& content) {
        write_file(path, content);
        view = VersionCheckView();
        return LoadVersionFile(st, w(path).c_str(), &view);
    }
};

TEST_F(VersionFile, SingleFormInEveryLineEnding) {
    for (const char* eol : {"\n", "\r", "\r\n"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(eol)));
        st = VersionCheckState();
        st.list_form = 1;
        std::string content = std::string("20190318") + eol + "http://h/pkg/map.zip" + eol;
        ASSERT_EQ(load(content), 1);
        EXPECT_EQ(st.list_form, 0);
        EXPECT_EQ(st.online_version, 20190318);
        EXPECT_EQ(st.package_url, u"http://h/pkg/map.zip");
        EXPECT_TRUE(view.set_status);
        EXPECT_EQ(view.status, u"Internet vesion:20190318");
        EXPECT_FALSE(file_exists(path));
    }
}

TEST_F(VersionFile, SingleFormNumberIsTheLeadingDigits) {
    ASSERT_EQ(load("2019x0318 trailing\nurl"), 1);
    EXPECT_EQ(st.online_version, 2019);
    EXPECT_EQ(view.status, u"Internet vesion:2019");
    EXPECT_EQ(st.package_url, u"url"); // a last line without line end counts
}

// A single form that gives no usable version fails the check, and its file
// goes like any other read version file.
TEST_F(VersionFile, SingleFormWithoutUrlOrUsableNumberFails) {
    for (const char* content :
         {"20190318", "20190318\n", "20190318\n\nhttp://late/url",
          "99999999999999999999999\nhttp://h/x.zip\n", "2147483648\nhttp://h/x.zip\n"}) {
        SCOPED_TRACE(content);
        st.online_version = 5;
        st.package_url = u"old";
        EXPECT_EQ(load(content), 0);
        EXPECT_EQ(st.online_version, -1);
        EXPECT_EQ(st.package_url, u"old");
        EXPECT_EQ(view.status, u"Access database failed,please updated by local file!");
        EXPECT_FALSE(file_exists(path));
    }
    ASSERT_EQ(load("2147483647\nhttp://h/x.zip\n"), 1);
    EXPECT_EQ(st.online_version, 2147483647);
    EXPECT_EQ(view.status, u"Internet vesion:2147483647");
}

TEST_F(VersionFile, ListFormInEveryLineEnding) {
    for (const char* eol : {"\n", "\r", "\r\n"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(eol)));
        st = VersionCheckState();
        st.online_version = 7;
        std::string content = std::string("English , en ,\thttp://h/en.zip") + eol + "only,two" +
                              eol + "a,b,c,d" + eol + "Deutsch,de,http://h/de.zip" + eol;
        ASSERT_EQ(load(content), 1);
        EXPECT_EQ(st.list_form, 1);
        ASSERT_EQ(st.online_list.size(), 2u);
        EXPECT_EQ(std::u16string(st.online_list[0].first), u"English");
        EXPECT_EQ(std::u16string(st.online_list[0].second), u"en");
        EXPECT_EQ(std::u16string(st.online_list[0].third), u"http://h/en.zip");
        EXPECT_EQ(std::u16string(st.online_list[1].first), u"Deutsch");
        // The list form leaves the status and the version as they were.
        EXPECT_FALSE(view.set_status);
        EXPECT_EQ(st.online_version, 7);
        EXPECT_EQ(version_check_online_version(st), 0);
        EXPECT_FALSE(file_exists(path));
    }
}

TEST_F(VersionFile, ListEndsAtTheFirstEmptyLine) {
    ASSERT_EQ(load("a,b,c\n\nd,e,f\n"), 1);
    ASSERT_EQ(st.online_list.size(), 1u);
    EXPECT_EQ(std::u16string(st.online_list[0].first), u"a");
}

TEST_F(VersionFile, EmptyFileIsAnEmptyList) {
    st.online_list.resize(3);
    ASSERT_EQ(load(""), 1);
    EXPECT_EQ(st.list_form, 1);
    EXPECT_TRUE(st.online_list.empty());
    EXPECT_FALSE(view.set_status);
}

TEST_F(VersionFile, ListFieldsAreConvertedWithinTheirCapacity) {
    std::string long_second(100, 'x');
    std::string long_first(300, 'y');
    // "中文" in GBK.
    ASSERT_EQ(load("\xD6\xD0\xCE\xC4," + long_second + "," + long_first + "\n"), 1);
    ASSERT_EQ(st.online_list.size(), 1u);
    EXPECT_EQ(std::u16string(st.online_list[0].first), u"\u4E2D\u6587");
    EXPECT_EQ(std::u16string(st.online_list[0].second), u"");
    EXPECT_EQ(std::u16string(st.online_list[0].third), std::u16string(255, u'y'));
    ASSERT_EQ(load("a," + std::string(99, 'z') + ",c\n"), 1);
    EXPECT_EQ(std::u16string(st.online_list[0].second), std::u16string(99, u'z'));
}

TEST_F(VersionFile, MissingFileChangesNothing) {
    st.online_version = 12;
    EXPECT_EQ(LoadVersionFile(st, w(tmp.path("none")).c_str(), &view), 0);
    EXPECT_EQ(st.online_version, 12);
    EXPECT_FALSE(view.set_status);
    EXPECT_EQ(LoadVersionFile(st, nullptr, nullptr), 0);
}

TEST(VersionCheckQuestion, AsksOnlyWhenTheUnitIsNotOlder) {
    VersionCheckState st;
    st.online_version = 20190101;
    EXPECT_TRUE(version_check_should_ask(st, false, 20190101));
    EXPECT_TRUE(version_check_should_ask(st, false, 20200101));
    EXPECT_FALSE(version_check_should_ask(st, false, 20181231));
    EXPECT_FALSE(version_check_should_ask(st, false, 0));
    EXPECT_FALSE(version_check_should_ask(st, true, 20190101));
    st.online_version = 20190102;
    EXPECT_FALSE(version_check_should_ask(st, false, 20190101));
    st.online_version = -1;
    EXPECT_FALSE(version_check_should_ask(st, false, 20190101));
    st.online_version = 20190101;
    st.list_form = 1;
    EXPECT_FALSE(version_check_should_ask(st, false, 20190101));
}

// ---- The whole check against a server --------------------------------------

struct Check : ::testing::Test {
    TempDir tmp;
    TestServer server;
    QueueOwner owner;
    CHttpDownload dl;
    VersionCheckState st;

    void SetUp() override { ASSERT_TRUE(server.ok()); }

    VersionCheckView start(const std::string& path) {
        st.version_file_url = w(server.url(path));
        return version_check_start(st, dl, &owner);
    }

    // Waits for the end message and hands it to the end handling.
    VersionCheckView finish(bool connected = true) {
        Message end{};
        EXPECT_TRUE(owner.wait_finished(&end));
        return version_check_finished(st, dl, static_cast<int>(end.w), connected);
    }
};

TEST_F(Check, SingleFormShowsTheOnlineVersionAndEnablesUpdate) {
    server.put("testNet.txt", "20190318\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    VersionCheckView v = start("/files/testNet.txt");
    EXPECT_TRUE(v.set_status);
    EXPECT_EQ(v.status, u"Searching the database version now,please wait\u2026");
    EXPECT_EQ(v.open, ControlChange::Disable);
    EXPECT_EQ(st.version_check, 1);
    v = finish();
    EXPECT_EQ(v.status, u"Internet vesion:20190318");
    EXPECT_EQ(v.open, ControlChange::Enable);
    EXPECT_EQ(v.update, ControlChange::Enable);
    EXPECT_EQ(st.version_check, 0);
    EXPECT_EQ(st.online_version, 20190318);
    EXPECT_EQ(st.package_url, u"http://127.0.0.1/pkg/map.zip");
    EXPECT_FALSE(file_exists(tmp.own("Tmp")));
}

TEST_F(Check, ListFormKeepsTheSearchingTextAndEnablesUpdateWhenConnected) {
    server.put("list.txt", "English,en,http://h/en.zip\n");
    start("/files/list.txt");
    VersionCheckView v = finish(false);
    EXPECT_FALSE(v.set_status);
    EXPECT_EQ(v.update, ControlChange::Keep); // not connected
    EXPECT_EQ(st.online_list.size(), 1u);
    EXPECT_EQ(st.list_form, 1);
}

TEST_F(Check, FailuresShowTheFailureText) {
    server.put("one.txt", "20190318\n");
    server.put("big.txt", "20190318\nhttp://h/x.zip\n" + std::string(100000, '#'));
    // A version file is never larger than 64 KiB: with or without its
    // length announced, a larger answer fails the check.
    for (const char* path : {"/files/missing.txt", "/files/one.txt", "/drop/big.txt",
                             "/files/big.txt", "/nolength/big.txt", "/chunked/big.txt"}) {
        SCOPED_TRACE(path);
        st.online_version = 20180101;
        start(path);
        VersionCheckView v = finish();
        EXPECT_EQ(v.status, u"Access database failed,please updated by local file!");
        EXPECT_EQ(v.open, ControlChange::Enable);
        EXPECT_EQ(v.update, ControlChange::Keep);
        EXPECT_EQ(st.online_version, -1);
        EXPECT_EQ(st.version_check, 0);
    }
    // A failed transfer leaves no version file behind.
    EXPECT_FALSE(file_exists(tmp.own("Tmp")));
}

TEST_F(Check, VersionFileOfExactlyTheBoundIsRead) {
    std::string content = "20190318\nhttp://h/x.zip\n";
    content += std::string(VERSION_FILE_MAX_SIZE - content.size(), '#');
    server.put("limit.txt", content);
    start("/nolength/limit.txt");
    VersionCheckView v = finish();
    EXPECT_EQ(v.status, u"Internet vesion:20190318");
    EXPECT_EQ(st.online_version, 20190318);
}

TEST_F(Check, StartFailureShowsTheComponentText) {
    // A temporary directory that does not exist: the target cannot be made.
    setenv("TMPDIR", tmp.path("gone").c_str(), 1);
    VersionCheckView v = start("/files/x.txt");
    EXPECT_EQ(v.status, u"An error occured while opening the file to be downloaded, Error:2");
    EXPECT_EQ(v.open, ControlChange::Enable);
    EXPECT_EQ(st.version_check, 0);
    EXPECT_EQ(st.awaiting_end, 0);
}

// What another local user could put where the version file goes: the check
// does not start, shows the download component's text, and writes nothing
// through it (a planted version file would name the package to write).
TEST_F(Check, PlantedNamesAreRefusedAndNothingIsWrittenThroughThem) {
    server.put("testNet.txt", "20190318\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    std::string elsewhere = tmp.path("elsewhere");
    struct Case {
        const char* what;
        bool root_only;
        void (*plant)(const TempDir& tmp, const std::string& elsewhere);
    };
    const Case cases[] = {
        {"a link at the directory's name", false,
         [](const TempDir& t, const std::string& e) {
             std::filesystem::create_directory_symlink(e, t.own());
         }},
        {"another user's directory", true,
         [](const TempDir& t, const std::string&) {
             std::filesystem::create_directory(t.own());
             ::chmod(t.own().c_str(), 0777);
             ASSERT_EQ(::chown(t.own().c_str(), 65534, 65534), 0);
         }},
        {"a link at the version file's name", false,
         [](const TempDir& t, const std::string& e) {
             ::mkdir(t.own().c_str(), 0700);
             std::filesystem::create_symlink(e + "/Tmp", t.own("Tmp"));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.root_only && geteuid() != 0)
            continue; // only root can make a directory of another user
        std::filesystem::create_directory(elsewhere);
        c.plant(tmp, elsewhere);
        st = VersionCheckState();
        VersionCheckView v = start("/files/testNet.txt");
        EXPECT_EQ(std::string(v.status.begin(), v.status.end())
                      .rfind("An error occured while opening the file to be downloaded", 0),
                  0u)
            << std::string(v.status.begin(), v.status.end());
        EXPECT_EQ(v.open, ControlChange::Enable);
        EXPECT_EQ(st.version_check, 0);
        EXPECT_EQ(st.awaiting_end, 0);
        EXPECT_EQ(server.requests(), 0);
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
        std::filesystem::remove_all(tmp.own());
        std::filesystem::remove_all(elsewhere);
    }
}

TEST_F(Check, NoUrlMeansNoCheck) {
    st.version_file_url.clear();
    VersionCheckView v = version_check_start(st, dl, &owner);
    EXPECT_FALSE(v.set_status);
    EXPECT_EQ(v.open, ControlChange::Keep);
    EXPECT_EQ(st.version_check, 0);
    EXPECT_TRUE(owner.all().empty());
}

// A second check stops the first; the first one's end message then changes
// nothing and the second one's result stands.
TEST_F(Check, ANewCheckStopsTheRunningOne) {
    // Slow but within the version file's bound.
    server.put("slow.txt", "20200101\nhttp://h/new.zip\n" + std::string(60000, '#'));
    server.put("v.txt", "20190318\nhttp://h/map.zip\n");
    server.set_slow(20, 300);
    start("/slow/slow.txt");
    ASSERT_TRUE(owner.wait_for(UWM_DOWNLOAD_SIZE));
    start("/files/v.txt");
    EXPECT_EQ(st.stale_ends, 1);
    VersionCheckView first = finish();
    EXPECT_FALSE(first.set_status);
    EXPECT_EQ(first.open, ControlChange::Keep);
    VersionCheckView second = finish();
    EXPECT_EQ(second.status, u"Internet vesion:20190318");
    EXPECT_EQ(st.package_url, u"http://h/map.zip");
}

// Open while the check runs aborts it: after the request the end is 6 and
// the check flag stays; before the request the emptied file reads as an
// empty list.
TEST_F(Check, AbortedChecks) {
    server.put("slow.txt", std::string(60000, '1'));
    server.set_slow(20, 300);
    start("/slow/slow.txt");
    ASSERT_TRUE(owner.wait_for(UWM_DOWNLOAD_SIZE));
    dl.Abort();
    VersionCheckView v = finish();
    EXPECT_EQ(v.open, ControlChange::Enable);
    EXPECT_FALSE(v.set_status);
    EXPECT_EQ(st.version_check, 1);

    owner.reset();
    st = VersionCheckState();
    st.version_file_url = w(server.url("/files/none"));
    st.version_check = 1;
    ::mkdir(tmp.own().c_str(), 0700);
    write_file(tmp.own("Tmp"), "");
    dl.Configure(&owner, {.url = st.version_file_url, .target = version_file_target()});
    dl.Abort();
    ASSERT_EQ(dl.Start(1), u"");
    v = finish(true);
    EXPECT_EQ(st.list_form, 1);
    EXPECT_TRUE(st.online_list.empty());
    EXPECT_EQ(v.update, ControlChange::Enable);
}

TEST_F(Check, PackageDownloadEndsAskForTheirDisplays) {
    st.version_check = 0;
    VersionCheckView v = version_check_finished(st, dl, 3, true);
    EXPECT_TRUE(v.package_failed);
    EXPECT_FALSE(v.package_completed);
    EXPECT_EQ(v.open, ControlChange::Enable);
    v = version_check_finished(st, dl, 0, true);
    EXPECT_TRUE(v.package_completed);
    v = version_check_finished(st, dl, 6, true);
    EXPECT_FALSE(v.package_completed);
    EXPECT_FALSE(v.package_failed);
    EXPECT_EQ(std::u16string(VERSION_TEXT_PACKAGE_FAILED), u"Error! Please update by local file!");
}

} // namespace

namespace {

TEST(VersionHostsOverride, AcceptsHostAndPortOnly) {
    struct Case {
        const char* text;
        int ok;
    };
    const Case cases[] = {
        {"127.0.0.1:8080", 1},
        {"localhost", 1},
        {"update.example:1", 1},
        {"[::1]:65535", 1},
        {"[::1]", 1},
        {"", 0},
        {":80", 0},
        {"host:", 0},
        {"host:0", 0},
        {"host:65536", 0},
        {"host:80x", 0},
        {"a/b:80", 0},
        {"user@host:80", 0},
        {"[::1", 0},
        {"[::1]x", 0},
        {"host :80", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        VersionHosts hosts;
        EXPECT_EQ(version_hosts_override(c.text, &hosts), c.ok);
        EXPECT_EQ(hosts.maker, c.ok ? std::string(c.text) : std::string(VERSION_HOST_MAKER));
        EXPECT_EQ(hosts.customer_b,
                  c.ok ? std::string(c.text) : std::string(VERSION_HOST_CUSTOMER_B));
    }
    EXPECT_EQ(version_hosts_override(nullptr, nullptr), 0);
}

} // namespace
