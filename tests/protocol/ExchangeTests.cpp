// Request frames byte-exact, reply lengths and time-out boundaries on a fake
// clock, refusals, leftover bytes, the check that a reply is its own frame,
// and the long exchange's failure trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "link/MemoryDeviceLink.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"

namespace {
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Header (0x0068, command, payload length; little-endian), then the payload.
Bytes Frame(uint16_t cmd, Bytes payload, const Bytes& more = {}) {
    payload.insert(payload.end(), more.begin(), more.end());
    Bytes f = {0x68, 0x00, static_cast<uint8_t>(cmd), static_cast<uint8_t>(cmd >> 8),
               static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

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
        const char* name;
        uint16_t cmd;
        Bytes payload, more;  // of the request
        size_t replyLength;
        std::function<uint32_t()> call;
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
        link.QueueReply(reply);
        link.QueueReplyAt(clock.NowMs() + 1, {0xAA});
        EXPECT_NE(c.call(), 0u);
        EXPECT_EQ(link.Pending(), 1u);
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
    const struct {
        bool longExchange;
        int32_t timeoutMs, lastByteAtMs;
        bool ok;
    } cases[] = {{false, 1000, 999, true}, {false, 1000, 1000, false}, {true, 5000, 4999, true},
                 {true, 5000, 5000, false}, {false, 0, 0, false},      {true, -5, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.longExchange << " " << c.timeoutMs << " " << c.lastByteAtMs);
        link.FlushReceive();
        link.m_nReadAttempts = 0;
        const int64_t start = clock.NowMs();
        link.QueueReply({0x68, 0x00, 0x00, 0x00, 0x00});
        link.QueueReplyAt(start + c.lastByteAtMs, {0x00});
        comm.m_nResponseTimeoutMs = c.timeoutMs;
        uint8_t req[7] = {}, rsp[6] = {};
        uint32_t r = c.longExchange ? comm.SendCommandLongTimeout(c.timeoutMs, 0x1024, req, 1, rsp) : comm.Ping();
        EXPECT_EQ(r != 0, c.ok);
        EXPECT_LE(clock.NowMs() - start, std::max(c.timeoutMs, 0));
        EXPECT_TRUE(c.timeoutMs > 0 || link.m_nReadAttempts == 1u);  // always one attempt
        EXPECT_TRUE(c.longExchange || comm.m_PingReply[0] == 0x68);  // what came is kept, also on failure
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

// The erase status and the page acknowledgement decide what is written
// next: bytes that are not that reply's frame must not pass for it.
TEST_F(Exchange, OnlyTheReplysOwnFrameIsTakenForEraseStatusOrPageAck) {
    Bytes page(256, 0);
    const struct {
        const char* name;
        bool status;  // else a page write
        Bytes reply;
        uint32_t flag;  // m_bEraseComplete afterwards; 7 = untouched
        const char* line;  // the header bytes traced when refused
    } cases[] = {
        {"erase done", true, {0x68, 0, 0x23, 0x10, 1, 0, 0x01}, 1, nullptr},
        {"erasing", true, {0x68, 0, 0x23, 0x10, 1, 0, 0xFE}, 0, nullptr},
        {"silent", true, {}, 7, ""},
        {"garbled", true, {0xFF, 0, 0x23, 0x10, 1, 0, 0x01}, 7, "0xFF 0x00 0x23 0x10 0x01 0x00"},
        {"wrong length", true, {0x68, 0, 0x23, 0x10, 2, 0, 1}, 7, "0x68 0x00 0x23 0x10 0x02 0x00"},
        {"page ack", false, {0x68, 0, 0x21, 0x10, 0, 0}, 7, nullptr},
        {"stray status", false, {0x68, 0, 0x23, 0x10, 1, 0}, 7, "0x68 0x00 0x23 0x10 0x01 0x00"},
        {"shifted", false, {0x01, 0x68, 0, 0x21, 0x10, 0}, 7, "0x01 0x68 0x00 0x21 0x10 0x00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        trace.Clear();
        comm.m_bEraseComplete = 7;
        link.QueueReply(c.reply);
        uint32_t r = c.status ? comm.ReadContinuousStatus() : comm.WriteFPGA_ConfigEEPROM_Page(0, 0, page.data());
        EXPECT_EQ(r != 0, c.line == nullptr);
        EXPECT_EQ(comm.m_bEraseComplete, c.flag);
        const std::string refused = Format("***** Reply to 0x%s is not its frame: %s\r\n",
                                           c.status ? "1023" : "1021", c.line ? c.line : "");
        EXPECT_EQ(trace.Text(), c.line && *c.line ? refused : "");
    }
}

TEST_F(Exchange, LongExchangeFailureTraceListsWhatArrived) {
    const std::string failed = "***** CTR52K1_Comm::SendCommandLongTimeout(0x1000, 1, 0) failed.\r\n";
    const struct {
        Bytes reply;
        Lines lines;
    } cases[] = {
        {{}, {failed, "***** Number of Bytes Received: 0.\r\n", "***** Values:\r\n"}},
        {{0x68, 0x00, 0x21}, {failed, "***** Number of Bytes Received: 3.\r\n", "***** Values: 0x68 0x00 0x21\r\n"}},
        {Frame(0x1000, {}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.size());
        trace.Clear();
        comm.m_nOperationalMode = 0;
        link.QueueReply(c.reply);
        EXPECT_EQ(comm.SetOperationalMode(3) != 0, c.lines.empty());
        EXPECT_EQ(comm.m_nOperationalMode, 3);  // stored whatever the reply
        EXPECT_EQ(trace.Writes(), c.lines);
    }
}
}  // namespace
