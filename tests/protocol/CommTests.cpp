// The command object on an in-memory link with a fake clock: request frames
// byte-exact, reply lengths and time-out boundaries, refusals, leftover bytes,
// the check that a reply is its own frame, the long exchange's failure trace,
// the decoding of every record and where the read chains stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "link/MemoryDeviceLink.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"
#include "support/Frames.h"

namespace {
using Bytes = std::vector<uint8_t>;

struct Exchange : ::testing::Test {
    CFakeClock clock;
    CMemoryDeviceLink link{clock};
    CTR52K1_Comm comm{&link, clock};
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
};

// Each request byte-exact; a reply one byte short fails, a whole one
// succeeds without reading into what follows it.
TEST_F(Exchange, EveryCommandIsFramedAndWaitsForItsWholeReply) {
    Bytes page(256);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(255 - i);
    const Bytes block(page.begin(), page.begin() + 128);
    const struct {
        const char* name; uint16_t cmd; Bytes payload, more; size_t replyLength; std::function<uint32_t()> call;
    } cases[] = {
        {"ping", 0x0000, {}, {}, 0, [&] { return comm.Ping(); }},
        {"mode", 0x1000, {0x02}, {}, 0, [&] { return comm.SetOperationalMode(2); }},
        {"dsp start", 0x1001, {0x13, 0x01, 0x01, 0, 0, 0}, {}, 4, [&] { return comm.StartDSP_Flash(1); }},
        {"dsp finish", 0x1001, {0x13, 0xFF, 0x01, 0, 0, 0}, {}, 4, [&] { return comm.FinishDSP_Flash(2); }},
        {"turn off", 0x1002, {6, 0, 0, 0, 0, 0, 0}, {}, 0, [&] { return comm.TurnOff(TURN_OFF_CONSOLIDATED_STATUS); }},
        {"device id", 0x1003, Bytes(17, 0), {}, 16, [&] { return comm.ReadDeviceId(); }},
        {"status record", 0x1008, {}, {}, 256, [&] { return comm.ReadStatusRecord(); }},
        {"dsp block", 0x1020, {0x00}, block, 0, [&] { return comm.WriteDSP_FlashBlock(0, block.data(), 128); }},
        {"dsp block dsp2", 0x1020, {0x01, 0xFF}, {}, 0, [&] { return comm.WriteDSP_FlashBlock(2, block.data(), 1); }},
        // The EEPROM's select code, then the page number big-endian.
        {"page write", 0x1021, {0x33, 0x01, 0x23}, page, 0,
         [&] { return comm.WriteFPGA_ConfigEEPROM_Page(11, 0x12300, page.data()); }},
        {"erase 8", 0x1022, {0x30}, {}, 4, [&] { return comm.BulkEraseFPGA_ConfigEEPROM(8); }},
        {"continuous status", 0x1023, {}, {}, 1, [&] { return comm.ReadContinuousStatus(); }},
        {"select 0", 0x1024, {0x10}, {}, 0, [&] { return comm.SelectFPGA_ConfigEEPROM(0); }},
        {"select 7", 0x1024, {0x17}, {}, 0, [&] { return comm.SelectFPGA_ConfigEEPROM(7); }},
        {"select 11", 0x1024, {0x33}, {}, 0, [&] { return comm.SelectFPGA_ConfigEEPROM(11); }},
        {"operational status", 0x2000, {}, {}, 23, [&] { return comm.ReadOperationalStatus(); }},
        {"network", 0x2002, {}, {}, 5, [&] { return comm.ReadNetworkSettings(); }},
        {"config page 3", 0x2009, {0x03}, {}, 128, [&] { return comm.ReadConfigPage(3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes reply = Frame(c.cmd, Bytes(c.replyLength, 0x11));
        link.m_writes.clear();
        link.QueueReply(Bytes(reply.begin(), reply.end() - 1));
        EXPECT_EQ(c.call(), 0u);
        ASSERT_EQ(link.m_writes.size(), 1u);
        EXPECT_EQ(link.m_writes[0], Frame(c.cmd, c.payload, c.more));
        trace.Clear();
        // The failed exchange still owes its last byte: the next request
        // goes out only once it has come, late, and been dropped.
        const int64_t before = clock.NowMs();
        link.QueueReplyAt(before + 150, {reply.back()});
        link.QueueReplyAt(before + 300, reply);
        link.QueueReplyAt(before + 301, {0xAA});
        link.m_onWrite = [&](const Bytes&) { EXPECT_GE(clock.NowMs(), before + 150); };
        EXPECT_NE(c.call(), 0u);
        link.m_onWrite = nullptr;
        EXPECT_EQ(link.Pending(), 1u);
        // Success is not traced; the late reply dropped before it is.
        EXPECT_EQ(trace.Text(), Format("***** Late reply to 0x%4.4X dropped after 150 ms more.\r\n", c.cmd));
        link.FlushReceive();
    }
}

TEST_F(Exchange, RequestsThatCannotGoOutReadNothing) {
    Bytes data(256, 0x55), big(6 + 65530, 0);
    uint8_t rsp[6] = {};
    EXPECT_EQ(comm.WriteDSP_FlashBlock(0, data.data(), 0), 0u);
    EXPECT_EQ(comm.WriteDSP_FlashBlock(0, data.data(), 129), 0u);
    EXPECT_EQ(comm.BulkEraseFPGA_ConfigEEPROM(12), 0u);
    EXPECT_EQ(comm.WriteFPGA_ConfigEEPROM_Page(12, 0, data.data()), 0u);
    EXPECT_EQ(comm.SelectFPGA_ConfigEEPROM(99), 0u);
    EXPECT_EQ(comm.SendCommand(0x1234, big.data(), 65530, rsp, 0), 0u);  // its length would be cut
    EXPECT_TRUE(link.m_writes.empty());
    link.m_nWriteResult = 0;  // a failed write: no reply is waited for
    EXPECT_EQ(comm.Ping(), 0u);
    EXPECT_EQ(comm.SetOperationalMode(1), 0u);
    EXPECT_EQ(link.m_nReadAttempts, 0u);
    EXPECT_TRUE(trace.Writes().empty());
}

TEST_F(Exchange, TheAttemptEndingAtTheTimeOutFailsEvenWithTheLastByte) {
    const struct { bool longExchange; int32_t timeoutMs, lastByteAtMs; bool ok; } cases[] = {
        {false, 1000, 999, true}, {false, 1000, 1000, false}, {true, 5000, 4999, true},
        {true, 5000, 5000, false}, {false, 0, 0, false}, {true, -5, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.longExchange << " " << c.timeoutMs << " " << c.lastByteAtMs);
        link.FlushReceive();
        CTR52K1_Comm fresh{&link, clock};  // a time-out before would drain this case's reply
        link.m_nReadAttempts = 0;
        const int64_t start = clock.NowMs();
        link.QueueReply({0x68, 0x00, 0x00, 0x00, 0x00});
        link.QueueReplyAt(start + c.lastByteAtMs, {0x00});
        fresh.m_nResponseTimeoutMs = c.timeoutMs;
        uint8_t req[7] = {}, rsp[6] = {};
        uint32_t r = c.longExchange ? fresh.SendCommandLongTimeout(c.timeoutMs, 0x1024, req, 1, rsp) : fresh.Ping();
        EXPECT_EQ(r != 0, c.ok);
        EXPECT_LE(clock.NowMs() - start, std::max(c.timeoutMs, 0));
        EXPECT_TRUE(c.timeoutMs > 0 || link.m_nReadAttempts == 1u);  // always one attempt
        EXPECT_TRUE(c.longExchange || fresh.m_PingReply[0] == 0x68);  // what came is kept, also on failure
    }
}

TEST_F(Exchange, NothingIsDrainedSoSurplusBytesOpenTheNextReply) {
    link.QueueReply({0x68, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB});
    EXPECT_NE(comm.Ping(), 0u);
    link.QueueReply(Frame(0x0000, {}));
    EXPECT_NE(comm.Ping(), 0u);
    EXPECT_EQ(Bytes(comm.m_PingReply, comm.m_PingReply + 6), (Bytes{0xAA, 0xBB, 0x68, 0x00, 0x00, 0x00}));
    EXPECT_EQ(link.Pending(), 2u);
}

// Acknowledgements that decide what happens next count only as their own
// frame: header word and command code. The length field is not compared.
TEST_F(Exchange, OnlyTheReplysOwnFrameIsTakenForAnAcknowledgement) {
    Bytes page(256, 0), block(128, 1);
    // `flag`: m_bEraseComplete afterwards, 7 = untouched; `line`: the header bytes traced when refused.
    const struct {
        const char* name; uint16_t cmd; Bytes reply; uint32_t flag; const char* line;
    } cases[] = {
        {"erase done", 0x1023, {0x68, 0, 0x23, 0x10, 1, 0, 0x01}, 1, nullptr},
        {"erasing", 0x1023, {0x68, 0, 0x23, 0x10, 1, 0, 0xFE}, 0, nullptr},
        {"silent", 0x1023, {}, 7, ""},
        {"garbled", 0x1023, {0xFF, 0, 0x23, 0x10, 1, 0, 0x01}, 7, "0xFF 0x00 0x23 0x10 0x01 0x00 0x01"},
        {"other length field", 0x1023, {0x68, 0, 0x23, 0x10, 2, 0, 1}, 1, nullptr},
        {"page ack", 0x1021, {0x68, 0, 0x21, 0x10, 0, 0}, 7, nullptr},
        {"stray status", 0x1021, {0x68, 0, 0x23, 0x10, 1, 0}, 7, "0x68 0x00 0x23 0x10 0x01 0x00"},
        {"shifted", 0x1021, {0x01, 0x68, 0, 0x21, 0x10, 0}, 7, "0x01"},
        {"block ack", 0x1020, {0x68, 0, 0x20, 0x10, 0, 0}, 7, nullptr},
        {"late page ack for a block", 0x1020, {0x68, 0, 0x21, 0x10, 0, 0}, 7, "0x68 0x00 0x21 0x10 0x00 0x00"},
        {"finish", 0x1001, {0x68, 0, 0x01, 0x10, 4, 0, 1, 2, 3, 4}, 7, nullptr},
        {"block ack for the finish", 0x1001, {0x68, 0, 0x20, 0x10, 0, 0, 0x68, 0, 0x01, 0x10}, 7,
         "0x68 0x00 0x20 0x10 0x00 0x00"},
        {"erase", 0x1022, {0x68, 0, 0x22, 0x10, 4, 0, 0, 0, 0, 0}, 7, nullptr},
        {"erase garbled", 0x1022, {0x68, 1, 0x22, 0x10, 4, 0, 0, 0, 0, 0}, 7, "0x68 0x01 0x22 0x10 0x04 0x00 0x00 0x00 0x00 0x00"},
        {"select", 0x1024, {0x68, 0, 0x24, 0x10, 0, 0}, 7, nullptr},
        {"page ack for the select", 0x1024, {0x68, 0, 0x21, 0x10, 0, 0}, 7, "0x68 0x00 0x21 0x10 0x00 0x00"},
        {"mode", 0x1000, {0x68, 0, 0x00, 0x10, 0, 0}, 7, nullptr},
        {"ping reply for the mode", 0x1000, {0x68, 0, 0, 0, 0, 0}, 7, "0x68 0x00 0x00 0x00 0x00 0x00"},
        {"status of another family", 0x1023, {0x68, 0, 0x23, 0x20, 1, 0, 0x01}, 7, "0x68 0x00 0x23 0x20 0x01 0x00 0x01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        trace.Clear();
        CTR52K1_Comm fresh{&link, clock};  // no leftovers of the case before
        fresh.m_bEraseComplete = 7;
        link.FlushReceive();
        link.QueueReply(c.reply);
        const uint32_t r = c.cmd == 0x1023   ? fresh.ReadContinuousStatus()
                           : c.cmd == 0x1021 ? fresh.WriteFPGA_ConfigEEPROM_Page(0, 0, page.data())
                           : c.cmd == 0x1020 ? fresh.WriteDSP_FlashBlock(0, block.data(), 128)
                           : c.cmd == 0x1001 ? fresh.FinishDSP_Flash(0)
                           : c.cmd == 0x1022 ? fresh.BulkEraseFPGA_ConfigEEPROM(0)
                           : c.cmd == 0x1024 ? fresh.SelectFPGA_ConfigEEPROM(0)
                                             : fresh.SetOperationalMode(2);
        EXPECT_EQ(r != 0, c.line == nullptr);
        EXPECT_EQ(fresh.m_bEraseComplete, c.flag);
        if (c.cmd == 0x1000) { EXPECT_EQ(fresh.m_bOperationalModeRead, r); }
        const std::string refused = Format("***** Reply to 0x%4.4X is not its frame: %s\r\n", c.cmd, c.line ? c.line : "");
        if (c.line && *c.line) { EXPECT_EQ(trace.Text().rfind(refused, 0), 0u) << trace.Text(); }
        if (!c.line) { EXPECT_EQ(trace.Text(), ""); }
        // A refused reply is no answer: the request still owes its own, and
        // the next request goes out only after it, so a reply can never be
        // taken for the request after its own.
        if (c.line && *c.line) {
            EXPECT_TRUE(fresh.ReplyOwed());
            const size_t length = c.cmd == 0x1023 ? 1 : c.cmd == 0x1001 || c.cmd == 0x1022 ? 4 : 0;
            // What already came of its own frame is not sent again.
            Bytes late = Frame(c.cmd, Bytes(length, 0));
            size_t have = std::min(c.reply.size(), late.size());
            while (have && !std::equal(c.reply.end() - have, c.reply.end(), late.begin())) --have;
            late.erase(late.begin(), late.begin() + have);
            if (!have) link.QueueReplyAt(clock.NowMs() + 150, Bytes{0x55, 0x55});
            link.QueueReplyAt(clock.NowMs() + 150, late);
            link.m_onWrite = [&](const Bytes& f) { link.QueueReply(Frame(static_cast<uint16_t>(f[2] | f[3] << 8))); };
            trace.Clear();
            EXPECT_NE(fresh.Ping(), 0u);
            link.m_onWrite = nullptr;
            EXPECT_EQ(Bytes(fresh.m_PingReply, fresh.m_PingReply + 6), Frame(0x0000, {}));
            EXPECT_NE(trace.Text().find(Format("***** Late reply to 0x%4.4X dropped after 150 ms more.", c.cmd)),
                      std::string::npos) << trace.Text();
            EXPECT_FALSE(fresh.ReplyOwed());
        }
    }
}

// A late reply to an earlier request ahead of the answer is skipped, not
// taken for it, and the answer behind it still counts.
TEST_F(Exchange, BytesAheadOfTheOwnFrameAreSkippedWithinTheTimeOut) {
    Bytes page(256, 0);
    Bytes late = Frame(0x2000, Bytes(23, 0x68));
    Bytes reply = late;
    for (uint8_t b : Frame(0x1021, {})) reply.push_back(b);
    link.QueueReply(reply);
    EXPECT_NE(comm.WriteFPGA_ConfigEEPROM_Page(0, 0, page.data()), 0u);
    EXPECT_EQ(link.Pending(), 0u);
    EXPECT_EQ(trace.Text().rfind("***** Reply to 0x1021 is not its frame: 0x68 0x00 0x00 0x20 0x17 0x00 0x68", 0), 0u);
    // Only stray bytes before the time-out: nothing is acknowledged.
    link.QueueReply(late);
    EXPECT_EQ(comm.SelectFPGA_ConfigEEPROM(3), 0u);
}

// The mode the unit is in is known only from a read or a command it
// answered; the zeros of a failed read are not a mode.
TEST_F(Exchange, TheModeCountsAsReadOnlyWhenTheUnitAnswered) {
    Bytes status(23, 0);
    status[2] = 0x83;
    link.QueueReply(Frame(0x2000, status));
    EXPECT_NE(comm.ReadOperationalStatus(), 0u);
    EXPECT_EQ(comm.m_nOperationalMode, 3);
    EXPECT_EQ(comm.m_bOperationalModeRead, 1u);
    EXPECT_EQ(comm.ReadOperationalStatus(), 0u);  // silent
    EXPECT_EQ(comm.m_nOperationalMode, 0);
    EXPECT_EQ(comm.m_bOperationalModeRead, 0u);
    link.m_onWrite = [&](const Bytes&) { link.QueueReplyAt(clock.NowMs() + 150, Frame(0x1000, {})); };
    EXPECT_NE(comm.SetOperationalMode(2), 0u);
    link.m_onWrite = nullptr;
    EXPECT_EQ(comm.m_bOperationalModeRead, 1u);
    EXPECT_EQ(comm.ReadEepromDirectory(), 0u);  // silent
    EXPECT_EQ(comm.m_bOperationalModeRead, 0u);
}

// Every way an exchange can end has its words, each its own.
TEST(ExchangeResults, EveryResultHasItsOwnText) {
    std::set<std::string> texts;
    for (EExchangeResult r : AllExchangeResults()) {
        const std::string t = ExchangeResultText(r);
        EXPECT_NE(t, "unknown exchange result");
        EXPECT_TRUE(texts.insert(t).second) << t;
    }
    EXPECT_EQ(texts.size(), 5u);
}

// Input while no exchange runs is dropped, an owed reply among it settled.
// A connection that is gone ends the exchange at once: nothing is owed on
// it, and the result says why. Watching the link without sending tells the
// same.
TEST_F(Exchange, IdleInputAndALostConnection) {
    link.m_nLinkType = LINK_TYPE_NETWORK;
    link.QueueReply({0x55, 0x55});  // stray
    EXPECT_TRUE(comm.WatchLink(50));
    EXPECT_EQ(link.Pending(), 0u);
    EXPECT_EQ(trace.Text(), "***** 2 bytes arrived while no request was out; dropped.\r\n");
    // An owed reply that comes during the watch is dropped as such.
    EXPECT_EQ(comm.Ping(), 0u);
    EXPECT_EQ(comm.LastExchange(), EExchangeResult::NoAnswer);
    EXPECT_TRUE(comm.ReplyOwed() && comm.LastRequestSent());
    link.QueueReplyAt(clock.NowMs() + 20, Frame(0x0000));
    trace.Clear();
    EXPECT_TRUE(comm.WatchLink(100));
    EXPECT_FALSE(comm.ReplyOwed());
    EXPECT_EQ(trace.Text(), "***** Late reply to 0x0000 dropped after 20 ms more.\r\n");

    // Dropped while idle, an owed reply is settled: the next request need not wait for it.
    EXPECT_EQ(comm.Ping(), 0u);
    link.QueueReplyAt(clock.NowMs() + 5, {0x55});
    link.QueueReplyAt(clock.NowMs() + 5, Frame(0x0000));
    clock.Advance(10);
    trace.Clear();
    EXPECT_EQ(comm.DropIdleInput(), 7u);
    EXPECT_FALSE(comm.ReplyOwed());
    EXPECT_EQ(trace.Text(), "***** Late reply to 0x0000 dropped while idle.\r\n");

    link.LoseConnectionAt(clock.NowMs() + 30);
    const int64_t start = clock.NowMs();
    EXPECT_FALSE(comm.WatchLink(1000));
    EXPECT_LE(clock.NowMs() - start, 32);
    uint8_t page[256] = {};
    EXPECT_EQ(comm.WriteFPGA_ConfigEEPROM_Page(0, 0, page), 0u);
    EXPECT_EQ(comm.LastExchange(), EExchangeResult::LinkLost);
    EXPECT_LE(clock.NowMs() - start, 34);  // not its 10 s time-out
    EXPECT_FALSE(comm.ReplyOwed());
    link.m_nWriteResult = 0;
    EXPECT_EQ(comm.Ping(), 0u);
    EXPECT_EQ(comm.LastExchange(), EExchangeResult::LinkLost);
    EXPECT_FALSE(comm.LastRequestSent());
}

// With every reply required in its own frame (the command-line tool), a
// garbled reply is no answer, and stray bytes ahead of a read are skipped
// instead of decoded; without it, the bytes of the right length count, and
// the result still says they were not the read's own frame.
TEST_F(Exchange, OwnFrameOnlyMakesEveryReadAnswerForItself) {
    const Bytes garbled = {0xA5, 0xA8, 0xBF, 0x82, 0x91, 0xE4};
    link.m_onWrite = [&](const Bytes&) { link.QueueReply(garbled); };
    EXPECT_NE(comm.Ping(), 0u);
    EXPECT_EQ(comm.LastExchange(), EExchangeResult::NotOwnFrame);
    // The header and the command's low byte right, its high byte another's.
    link.m_onWrite = [&](const Bytes&) { link.QueueReply({0x68, 0x00, 0x00, 0x10, 0x00, 0x00}); };
    EXPECT_NE(comm.Ping(), 0u);
    EXPECT_EQ(comm.LastExchange(), EExchangeResult::NotOwnFrame);
    link.m_onWrite = [&](const Bytes&) { link.QueueReply(garbled); };
    comm.m_bOwnFrameOnly = 1;
    EXPECT_EQ(comm.Ping(), 0u);
    EXPECT_EQ(comm.LastExchange(), EExchangeResult::NotOwnFrame);
    Bytes status(23, 0);
    status[2] = 0x02;
    link.m_onWrite = [&](const Bytes&) {
        link.QueueReply({0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5});
        link.QueueReply(Frame(0x2000, status));
    };
    EXPECT_NE(comm.ReadOperationalStatus(), 0u);
    EXPECT_EQ(comm.LastExchange(), EExchangeResult::Answered);
    EXPECT_EQ(comm.m_nOperationalMode, 2);
}

TEST_F(Exchange, LongExchangeFailureTraceListsWhatArrived) {
    link.QueueReply({0x68, 0x00, 0x00});
    EXPECT_EQ(comm.SetOperationalMode(3), 0u);
    EXPECT_EQ(comm.m_nOperationalMode, 3);  // stored whatever the reply
    EXPECT_EQ(trace.Writes(),
              (std::vector<std::string>{"***** CTR52K1_Comm::SendCommandLongTimeout(0x1000, 1, 0) failed.\r\n",
                                        "***** Number of Bytes Received: 3.\r\n", "***** Values: 0x68 0x00 0x00\r\n"}));
}

// A config page from big-endian words at their indices.
Bytes Words(const std::map<int, uint16_t>& words) {
    Bytes p(128, 0);
    for (auto [i, w] : words) p[2 * i] = static_cast<uint8_t>(w >> 8), p[2 * i + 1] = static_cast<uint8_t>(w);
    return p;
}

// A scripted unit: answers each command (and config page) with a stored
// payload; silent for what it has no answer for.
struct Unit {
    CFakeClock clock;
    CMemoryDeviceLink link{clock};
    CTR52K1_Comm comm{&link, clock};
    std::map<uint16_t, Bytes> answers{{CMD_READ_DEVICE_INFO, Bytes(48, 0)}, {CMD_READ_DEVICE_ID, Bytes(16, 'A')},
                                      {CMD_READ_NETWORK_SETTINGS, Bytes(5, 0)}};
    std::map<int, Bytes> pages;  // config page -> 128 bytes
    std::vector<uint16_t> commands;
    std::vector<uint8_t> pagesAsked;

    Unit() {
        for (int p : {2, 3, 20, 21, 22, 23, 24}) pages[p] = Bytes(128, 0);
        link.m_onWrite = [this](const Bytes& f) {
            const uint16_t cmd = static_cast<uint16_t>(f[2] | f[3] << 8);
            const bool page = cmd == CMD_READ_CONFIG_PAGE;
            commands.push_back(cmd);
            if (page) pagesAsked.push_back(f[6]);
            if (page ? !pages.count(f[6]) : !answers.count(cmd)) return;
            link.QueueReply(Frame(cmd, page ? pages[f[6]] : answers[cmd]));
        };
    }
};

TEST(Decode, EveryRecord) {
    Unit u;
    CTR52K1_Comm& c = u.comm;
    // Every versions byte different, so a field read from a wrong offset shows.
    for (int i = 0; i < 48; ++i) u.answers[CMD_READ_DEVICE_INFO][i] = static_cast<uint8_t>(i + 1);
    u.answers[CMD_READ_NETWORK_SETTINGS] = {0xFE, 10, 1, 2, 3};  // DHCP is bit 0 only
    u.answers[CMD_READ_OPERATIONAL_STATUS] = Bytes(23, 0xFF);
    u.answers[CMD_READ_OPERATIONAL_STATUS][2] = 0x82;
    const std::string text = "Korvanex TR52K unit, slot 3 ....";  // all 32 characters
    for (int k = 20; k <= 24; ++k) {
        u.pages[k] = Bytes(128, 0x7F);  // high bytes are ignored
        for (int i = 0; i < 32; ++i) u.pages[k][2 * i + 1] = static_cast<uint8_t>(i ? text[i] : 'A' + k - 20);
    }
    u.pages[0] = Words({{34, 0x0002}, {38, 0xC0A8}, {39, 0x0164}});
    std::map<int, uint16_t> dir = {{43, 11}, {60, 0x0001}, {63, 0x0083}};
    for (int i = 0; i < 8; ++i) dir[27 + 2 * i] = static_cast<uint16_t>(0x1000 + i), dir[28 + 2 * i] = 0x2000;
    for (int i = 0; i < 12; ++i) dir[44 + i] = static_cast<uint16_t>(i % 4);
    u.pages[2] = Words(dir);
    u.pages[3] = Words({{0, 0xAAAA}, {1, 0x0008}, {6, 0xBBBB}, {7, 0x000B}});

    ASSERT_NE(c.ReadDeviceInfo(), 0u);  // with device id, text pages and network settings
    const int64_t netDhcp = c.m_bDhcpEnabled, netIp = c.m_dwIpAddress;
    ASSERT_NE(c.ReadOperationalStatus(), 0u);
    const int64_t statusMode = c.m_nOperationalMode;
    ASSERT_NE(c.ReadIdentityPage(), 0u);
    ASSERT_NE(c.ReadEepromDirectory(), 0u);

    EXPECT_EQ(c.m_strSerialNumber, "0506-1800");
    EXPECT_EQ(Utf16ToUtf8(c.m_szDeviceId), std::string(16, 'A'));
    for (int k = 0; k < 5; ++k) EXPECT_EQ(Utf16ToUtf8(c.m_szConfigText[k]), char('A' + k) + text.substr(1));
    const struct { const char* field; int64_t got, want; } fields[] = {
        {"dsp1", c.m_dwDsp1FwVersion, 0x090A0B0C},   {"dsp2", c.m_dwDsp2FwVersion, 0x0D0E0F10},
        {"fio", c.m_dwFioFpgaFwVersion, 0x11121314}, {"bridge", c.m_dwBridgeFpgaFwVersion, 0x15161718},
        {"dp", c.m_dwDpFpgaFwVersion, 0x191A1B1C},   {"dsp pcb", c.m_byDspBoardPcbRev, 0x1E},
        {"dp pcb", c.m_wDpFpgaBoardPcbRev, 0x1F20},  {"personality", c.m_byPersonality, 0x21},
        {"versions read", c.m_bVersionsRead, 1},     {"network dhcp", netDhcp, 0},
        {"network ip", netIp, 0x0A010203},           {"status mode", statusMode, 2},
        {"identity dhcp", c.m_bDhcpEnabled, 1},      {"identity ip", c.m_dwIpAddress, 0xC0A80164},
        {"identity read", c.m_bIdentityRead, 1},     {"image 8", c.m_dwEepromImageId[8], 0xAAAA0008},
        {"image 11", c.m_dwEepromImageId[11], 0xBBBB000B}, {"current eeprom", c.m_nCurrentEeprom, 11},
        {"update enable", c.m_bUpdateEnable, 1},     {"directory mode", c.m_nOperationalMode, 3},
    };
    for (const auto& f : fields) EXPECT_EQ(f.got, f.want) << f.field;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c.m_dwEepromImageId[i], 0x10002000u + 0x10000u * i) << i;
    for (int i = 0; i < 12; ++i) EXPECT_EQ(c.m_wEepromPersonality[i], i % 4) << i;

    u.pages[2] = Words({{43, 12}});
    ASSERT_NE(c.ReadEepromDirectory(), 0u);
    EXPECT_EQ(c.m_nCurrentEeprom, 0);  // only 1..11 name an EEPROM
}

// A failed read decodes what came, zeros for the rest, and ends its chain.
TEST(Decode, FailedReadsDecodeWhatCameAndEndTheirChain) {
    const uint16_t info = CMD_READ_DEVICE_INFO, id = CMD_READ_DEVICE_ID, page = CMD_READ_CONFIG_PAGE;
    Unit u;
    u.answers.erase(info);
    u.link.QueueReply({0x68, 0, 0x03, 0x20, 48, 0, 0, 0, 0, 0, 0x00, 0x12, 0, 0x05, 0xAB});  // 9 of 48
    u.comm.m_dwDsp1FwVersion = 0x11111111;
    EXPECT_EQ(u.comm.ReadDeviceInfo(), 0u);
    EXPECT_EQ(u.comm.m_strSerialNumber, "0012-005");
    EXPECT_EQ(u.comm.m_dwDsp1FwVersion, 0xAB000000u);
    EXPECT_EQ(u.commands, std::vector<uint16_t>{info});

    Unit v;
    v.pages.erase(22);
    EXPECT_EQ(v.comm.ReadDeviceInfo(), 0u);
    EXPECT_EQ(v.commands, (std::vector<uint16_t>{info, id, page, page, page}));  // no later page, no network
    EXPECT_EQ(v.pagesAsked, (std::vector<uint8_t>{20, 21, 22}));
    EXPECT_EQ(v.comm.m_bVersionsRead, 0u);

    v.pagesAsked.clear();
    v.pages.erase(2);
    EXPECT_EQ(v.comm.ReadEepromDirectory(), 0u);
    EXPECT_EQ(v.pagesAsked, std::vector<uint8_t>{2});  // page 3 is not asked
    EXPECT_EQ(v.comm.ReadIdentityPage(), 0u);           // page 0 unanswered
    EXPECT_EQ(v.comm.m_bIdentityRead, 1u);              // marked as read all the same
    EXPECT_EQ(v.comm.m_dwIpAddress, 0u);
}
}  // namespace
