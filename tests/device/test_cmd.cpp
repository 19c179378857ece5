// The command exchange against the emulated unit: frame bytes, transfer
// shapes, reply checks, error codes and the transfer hook.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "common_t73/QV_Cmd.h"
#include "package/scramble.h"
#include "tests/device/test_cmd_support.h"

namespace {

std::vector<uint8_t> hex(const char* text) {
    std::vector<uint8_t> out;
    unsigned v;
    int n;
    while (std::sscanf(text, " %2x%n", &v, &n) == 1) {
        out.push_back(static_cast<uint8_t>(v));
        text += n;
    }
    return out;
}

std::vector<uint8_t> report_of_frame(const char* frame) {
    std::vector<uint8_t> r{0x00};
    auto f = hex(frame);
    r.insert(r.end(), f.begin(), f.end());
    r.resize(REPORT_SIZE, 0xCC);
    return r;
}

std::vector<uint8_t> as_vector(const Report& r) {
    return {r.begin(), r.end()};
}

struct HookCall {
    int32_t phase, count, total;
    bool operator==(const HookCall&) const = default;
};

void record_hook(void* user, int32_t phase, int32_t count, int32_t total) {
    static_cast<std::vector<HookCall>*>(user)->push_back({phase, count, total});
}

} // namespace

// ---- frames on the wire ----

TEST(CmdFrame, EraseOfMainSettingSectorIsTheKnownReport) {
    UnitLink link;
    ASSERT_EQ(QV_Cmd_erase(&link.channel, 0x16000, 4096), 0);
    ASSERT_EQ(link.wire->sent.size(), 1u);
    EXPECT_EQ(as_vector(link.wire->sent[0]),
              report_of_frame("F1 17 16 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 "
                              "48 49 44 43 37 02 00 00"));
}

TEST(CmdFrame, ReadOfFirstMainSettingPageIsTheKnownReportThenFourDataReportsAndAReply) {
    UnitLink link;
    std::vector<uint8_t> page(256);
    std::iota(page.begin(), page.end(), 0);
    link.unit.put(0x16000, page.data(), page.size());

    std::vector<uint8_t> got(256, 0);
    ASSERT_EQ(QV_Cmd_read(&link.channel, 0x16000, got.data(), 256, 0), 0);
    ASSERT_EQ(link.wire->sent.size(), 1u);
    EXPECT_EQ(as_vector(link.wire->sent[0]),
              report_of_frame("F2 17 60 01 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 "
                              "48 49 44 43 83 02 00 00"));
    EXPECT_EQ(link.wire->reads, 5);
    EXPECT_EQ(link.unit.reportsOut(), 5u);
    EXPECT_EQ(got, page);
}

TEST(CmdFrame, GuardedCommandsCarryMagicAndAccessWord) {
    UnitLink link(0x400000, 1046);
    EXPECT_EQ(QV_Cmd_getBootVersion(&link.channel), 1046u);
    EXPECT_EQ(QV_Cmd_getFlashSize(&link.channel), 0x400000u);
    EXPECT_EQ(QV_Cmd_finish(&link.channel), 1);
    EXPECT_EQ(QV_Cmd_reject(&link.channel), 1);
    const uint8_t codes[] = {CMD_BOOT_VERSION, CMD_FLASH_SIZE, CMD_FINISH, CMD_REJECT};
    ASSERT_EQ(link.unit.commands().size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const UnitCommand& c = link.unit.commands()[i];
        EXPECT_EQ(c.code, codes[i]);
        EXPECT_EQ(c.a, RECORD_MAGIC);
        EXPECT_EQ(c.b, COMMAND_ACCESS_WORD);
        EXPECT_EQ(c.c | c.d | c.mode, 0u);
    }
}

TEST(CmdFrame, NonZeroModeIsSentAsOneAndFillerIsCC) {
    UnitLink link;
    ASSERT_EQ(QV_Cmd_sendFrame(&link.channel, CMD_READ, 1, 2, 3, 77, 4), 1);
    const Report& r = link.wire->sent.at(0);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1 + CMD_OFF_MODE], 1);
    for (int i = 28; i < REPORT_SIZE; ++i)
        EXPECT_EQ(r[i], 0xCC) << i;
    EXPECT_EQ(QV_Cmd_frameIsValid(r.data() + 1), 1);
}

// ---- argument checks ----

TEST(CmdTransfer, MisalignedTransfersFailWithoutSendingAnything) {
    struct Case {
        const char* what;
        int (*run)(QV_HidChannel*, uint8_t*);
        int expected;
    };
    const Case cases[] = {
        {"read at 0x8010",
         [](QV_HidChannel* c, uint8_t* b) { return QV_Cmd_read(c, 0x8010, b, 256, 0); }, -1},
        {"read of 300",
         [](QV_HidChannel* c, uint8_t* b) { return QV_Cmd_read(c, 0x8000, b, 300, 0); }, -2},
        {"write at 0x8010",
         [](QV_HidChannel* c, uint8_t* b) { return QV_Cmd_write(c, 0x8010, b, 256, 0, 0, 0); }, -1},
        {"write of 300",
         [](QV_HidChannel* c, uint8_t* b) { return QV_Cmd_write(c, 0x8000, b, 300, 0, 0, 0); }, -2},
        {"erase at 0x16100",
         [](QV_HidChannel* c, uint8_t*) { return QV_Cmd_erase(c, 0x16100, 4096); }, -1},
        {"erase of 0x1800",
         [](QV_HidChannel* c, uint8_t*) { return QV_Cmd_erase(c, 0x16000, 0x1800); }, -2},
        {"read without destination",
         [](QV_HidChannel* c, uint8_t*) { return QV_Cmd_read(c, 0x8000, nullptr, 256, 0); }, -3},
        {"write without data",
         [](QV_HidChannel* c, uint8_t*) { return QV_Cmd_write(c, 0x8000, nullptr, 256, 0, 0, 0); },
         -3},
    };
    for (const Case& c : cases) {
        UnitLink link;
        std::vector<uint8_t> buffer(512, 0x5A);
        EXPECT_EQ(c.run(&link.channel, buffer.data()), c.expected) << c.what;
        EXPECT_TRUE(link.wire->sent.empty()) << c.what;
    }
}

TEST(CmdTransfer, NoChannelOrNoHandleFailsQuietly) {
    QV_HidChannel empty{};
    uint8_t buffer[256];
    EXPECT_EQ(QV_Cmd_erase(nullptr, 0, 4096), -3);
    EXPECT_EQ(QV_Cmd_erase(&empty, 0, 4096), -3);
    EXPECT_EQ(QV_Cmd_read(&empty, 0, buffer, 256, 0), -3);
    EXPECT_EQ(QV_Cmd_write(&empty, 0, buffer, 256, 0, 0, 0), -3);
    EXPECT_EQ(QV_Cmd_sendFrame(nullptr, CMD_ERASE, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(QV_Cmd_readReply(&empty, nullptr), 0);
    EXPECT_EQ(QV_Cmd_finish(&empty), 0);
    EXPECT_EQ(QV_Cmd_reject(nullptr), 0);
    EXPECT_EQ(QV_Cmd_getBootVersion(&empty), 0u);
    EXPECT_EQ(QV_Cmd_getFlashSize(nullptr), 0u);
}

// ---- reads ----

TEST(CmdTransfer, ShortDataReportsStillCollectExactlyTheLength) {
    UnitLink link;
    std::vector<uint8_t> data(512);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    link.unit.put(0x20000, data.data(), data.size());
    link.unit.setReadPayload(10);
    std::vector<uint8_t> got(512 + 16, 0xEE);
    ASSERT_EQ(QV_Cmd_read(&link.channel, 0x20000, got.data(), 512, 1), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    EXPECT_EQ(got[512], 0xEE); // nothing past the length
    EXPECT_EQ(link.unit.reportsOut(), 52u + 1u);
    EXPECT_EQ(link.unit.commands().at(0).mode, 1);
}

TEST(CmdTransfer, ReadOfLengthZeroReadsOnlyTheReplyAndCallsStartAndEnd) {
    UnitLink link;
    std::vector<HookCall> calls;
    link.channel.hook = record_hook;
    link.channel.hookUser = &calls;
    EXPECT_EQ(QV_Cmd_read(&link.channel, 0x1000, nullptr, 0, 0), 0);
    EXPECT_EQ(link.wire->sent.size(), 1u);
    EXPECT_EQ(link.wire->reads, 1);
    EXPECT_EQ(calls, (std::vector<HookCall>{{0, 0, 0}, {2, 0, 0}}));
}

TEST(CmdTransfer, ReadHookCountsEachReportAndEndsWithTheReplyValue) {
    // The reply's value word goes to the end phase.
    auto script = std::make_shared<ScriptedTransport::Script>();
    Report data;
    data.fill(0x11);
    data[0] = 0;
    for (int i = 0; i < 4; ++i)
        script->replies.push_back({data, REPORT_SIZE});
    script->replies.push_back({make_reply(0, 0xABCD), REPORT_SIZE});
    QV_HidChannel channel{};
    channel.handle = QV_Hid_openTransport(std::make_unique<ScriptedTransport>(script));
    channel.bootVersion = 1046;
    std::vector<HookCall> calls;
    channel.hook = record_hook;
    channel.hookUser = &calls;
    uint8_t got[256];
    EXPECT_EQ(QV_Cmd_read(&channel, 0, got, 256, 0), 0);
    EXPECT_EQ(
        calls,
        (std::vector<HookCall>{
            {0, 0, 256}, {1, 64, 64}, {1, 64, 128}, {1, 64, 192}, {1, 64, 256}, {2, 0xABCD, 256}}));
    QV_Hid_close(channel.handle);
}

TEST(CmdTransfer, ReadFailuresGiveTheirCodesAndEndPhaseWithZero) {
    struct Case {
        const char* what;
        UnitFault fault;
        int expected;
    };
    const Case cases[] = {
        {"no data and no reply", UnitFault::NoReply, -4},
        {"reply with a bad checksum", UnitFault::BadChecksum, -5},
        {"reply with a status", UnitFault::Status, -5},
    };
    for (const Case& c : cases) {
        UnitLink link;
        link.unit.addFault({c.fault, CMD_READ, -1, 9});
        std::vector<HookCall> calls;
        link.channel.hook = record_hook;
        link.channel.hookUser = &calls;
        uint8_t got[256];
        EXPECT_EQ(QV_Cmd_read(&link.channel, 0, got, 256, 0), c.expected) << c.what;
        ASSERT_FALSE(calls.empty()) << c.what;
        EXPECT_EQ(calls.back(), (HookCall{2, 0, 256})) << c.what;
    }
}

TEST(CmdTransfer, UnitGoneMidReadIsADataReportFailure) {
    UnitLink link;
    link.unit.unplugAfterReports(3); // the frame and two data reports
    uint8_t got[1024];
    EXPECT_EQ(QV_Cmd_read(&link.channel, 0, got, 1024, 0), -4);
}

// ---- writes ----

TEST(CmdTransfer, WriteSendsFrameThenDataAndLandsInFlash) {
    UnitLink link;
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i ^ 0x5A);
    uint32_t sum = std::accumulate(data.begin(), data.end(), 0u);
    std::vector<HookCall> calls;
    link.channel.hook = record_hook;
    link.channel.hookUser = &calls;

    ASSERT_EQ(QV_Cmd_write(&link.channel, 0x9000, data.data(), 1024, 0, 1, sum), 0);
    const UnitCommand& c = link.unit.commands().at(0);
    EXPECT_EQ(c.code, CMD_WRITE);
    EXPECT_EQ(c.a, 0x90u);
    EXPECT_EQ(c.b, 4u);
    EXPECT_EQ(c.c, 0u);
    EXPECT_EQ(c.mode, 1);
    EXPECT_EQ(c.d, sum);
    EXPECT_EQ(c.status, 0u);
    EXPECT_EQ(link.wire->sent.size(), 1u + 16u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), link.unit.flash().begin() + 0x9000));
    ASSERT_EQ(calls.size(), 18u);
    EXPECT_EQ(calls.front(), (HookCall{0, 0, 1024}));
    EXPECT_EQ(calls[1], (HookCall{1, 64, 64}));
    EXPECT_EQ(calls[16], (HookCall{1, 64, 1024}));
    EXPECT_EQ(calls.back(), (HookCall{2, 1024, 1024}));
}

TEST(CmdTransfer, ScrambledWriteIsUnscrambledByTheUnitAndChecked) {
    UnitLink link;
    std::vector<uint8_t> plain(1000);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 13 + i / 256);
    std::vector<uint8_t> stored = plain;
    RollingState enc;
    rolling_encode(&enc, stored.data(), stored.size());
    std::vector<uint8_t> padded = stored;
    padded.resize(1024, 0xFF);
    uint32_t d = std::accumulate(plain.begin(), plain.end(), 0u) + 24u * 255u;

    ASSERT_EQ(QV_Cmd_write(&link.channel, 0x2DE000, padded.data(), 1024, 1000, 1, d), 0);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), link.unit.flash().begin() + 0x2DE000));
    EXPECT_EQ(link.unit.flash()[0x2DE000 + 1000], 0xFF);

    // The same data with the checksum of what was sent is refused.
    uint32_t wrong = std::accumulate(padded.begin(), padded.end(), 0u);
    EXPECT_EQ(QV_Cmd_write(&link.channel, 0x2DE000, padded.data(), 1024, 1000, 1, wrong), -5);
    EXPECT_EQ(link.unit.commands().back().status, UNIT_STATUS_CHECKSUM);
}

TEST(CmdTransfer, WriteFailuresGiveTheirCodes) {
    std::vector<uint8_t> data(512, 0x33);
    uint32_t sum = 512u * 0x33u;
    {
        UnitLink link;
        link.unit.unplugAfterReports(4); // frame and three data reports
        EXPECT_EQ(QV_Cmd_write(&link.channel, 0, data.data(), 512, 0, 0, sum), -4);
    }
    {
        UnitLink link;
        link.unit.addFault({UnitFault::NoReply, CMD_WRITE});
        EXPECT_EQ(QV_Cmd_write(&link.channel, 0, data.data(), 512, 0, 0, sum), -5);
    }
    {
        UnitLink link;
        link.unit.unplugAfterReports(0);
        EXPECT_EQ(QV_Cmd_write(&link.channel, 0, data.data(), 512, 0, 0, sum), -3);
    }
    {
        UnitLink link(0x40000);
        EXPECT_EQ(QV_Cmd_write(&link.channel, 0x40000, data.data(), 512, 0, 0, sum), -5);
        EXPECT_EQ(link.unit.commands().back().status, UNIT_STATUS_RANGE);
    }
}

TEST(CmdTransfer, SendDataPadsTheLastReportAndCountsOnlyData) {
    UnitLink link;
    uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint32_t moved = 99;
    ASSERT_EQ(QV_Cmd_sendData(&link.channel, data, 10, &moved), 1);
    EXPECT_EQ(moved, 10u);
    const Report& r = link.wire->sent.at(0);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[10], 10);
    EXPECT_EQ(r[11], 0xCC);
    EXPECT_EQ(r[64], 0xCC);
    EXPECT_EQ(QV_Cmd_sendData(&link.channel, nullptr, 10, &moved), 0);
    EXPECT_EQ(moved, 0u);
}

// ---- replies ----

TEST(CmdReply, StatusWordIsCheckedFromBootVersion1046) {
    struct Case {
        uint32_t boot;
        int expected;
    };
    for (Case c : {Case{1045, 1}, Case{1046, 0}, Case{0, 1}, Case{2000, 0}}) {
        UnitLink link;
        link.channel.bootVersion = c.boot;
        link.unit.addFault({UnitFault::Status, CMD_FINISH, -1, 5});
        EXPECT_EQ(QV_Cmd_finish(&link.channel), c.expected) << c.boot;
    }
}

TEST(CmdReply, MalformedRepliesAreInvalidWhateverTheStatus) {
    struct Case {
        const char* what;
        Report reply;
        int count;
    };
    const Case cases[] = {
        {"wrong checksum", make_reply(0, 1, 0x17, "HIDC", 1), REPORT_SIZE},
        {"length byte 0x18", make_reply(0, 1, 0x18), REPORT_SIZE},
        {"signature HIDD", make_reply(0, 1, 0x17, "HIDD"), REPORT_SIZE},
        {"frame cut short", make_reply(0, 1), 20},
        {"empty report", make_reply(0, 1), 1},
    };
    for (uint32_t boot : {1045u, 1046u}) {
        for (const Case& c : cases) {
            auto script = std::make_shared<ScriptedTransport::Script>();
            script->replies.push_back({c.reply, c.count});
            QV_HidChannel channel{};
            channel.bootVersion = boot;
            channel.handle = QV_Hid_openTransport(std::make_unique<ScriptedTransport>(script));
            EXPECT_EQ(QV_Cmd_readReply(&channel, nullptr), 0) << c.what << " boot " << boot;
            QV_Hid_close(channel.handle);
        }
    }
}

TEST(CmdReply, AReplyWithAnotherCommandCodeIsAcceptedAndCopied) {
    auto script = std::make_shared<ScriptedTransport::Script>();
    script->replies.push_back({make_reply(0, 1234), REPORT_SIZE}); // code F4
    QV_HidChannel channel{};
    channel.bootVersion = 1046;
    channel.handle = QV_Hid_openTransport(std::make_unique<ScriptedTransport>(script));
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 1234u);
    QV_Hid_close(channel.handle);
}

TEST(CmdReply, ALateReplyIsNeverTakenForTheNextCommand) {
    // The boot-version reply is left unread, as after an abandoned transfer;
    // the flash-size query must get its own answer.
    UnitLink link(0x400000, 1046);
    ASSERT_EQ(QV_Cmd_sendFrame(&link.channel, CMD_BOOT_VERSION, RECORD_MAGIC, COMMAND_ACCESS_WORD,
                               0, 0, 0),
              1);
    EXPECT_EQ(QV_Cmd_getFlashSize(&link.channel), 0x400000u);
    EXPECT_GE(link.wire->discards, 2);
}

TEST(CmdReply, FixedCommandsGiveZeroOnFailure) {
    UnitLink link;
    link.unit.addFault({UnitFault::NoReply, CMD_BOOT_VERSION});
    link.unit.addFault({UnitFault::BadChecksum, CMD_FLASH_SIZE});
    link.unit.addFault({UnitFault::Status, CMD_FINISH});
    EXPECT_EQ(QV_Cmd_getBootVersion(&link.channel), 0u);
    EXPECT_EQ(QV_Cmd_getFlashSize(&link.channel), 0u);
    EXPECT_EQ(QV_Cmd_finish(&link.channel), 0);
    EXPECT_EQ(QV_Cmd_reject(&link.channel), 1);
}
