// Time-out boundaries on a fake clock, write failures, leftover bytes and
// the failure trace of the long exchange.
#include <gtest/gtest.h>

#include "link/MemoryDeviceLink.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"

namespace {
using Bytes = std::vector<uint8_t>;
const Bytes kBareHeader = {0x68, 0x00, 0x00, 0x00, 0x00, 0x00};

struct Exchange : ::testing::Test {
    CFakeClock clock;
    CMemoryDeviceLink link{clock};
    CTR52K1_Comm comm{&link, clock};
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};

    // Five header bytes at once, the sixth at `lastAtMs`.
    void ReplyWithLastByteAt(int64_t lastAtMs) {
        link.QueueReply({0x68, 0x00, 0x00, 0x00, 0x00});
        link.QueueReplyAt(lastAtMs, {0x00});
    }
};

TEST_F(Exchange, LastByteBeforeTheTimeOutSucceeds) {
    ReplyWithLastByteAt(999);
    EXPECT_NE(comm.Ping(), 0u);
}

TEST_F(Exchange, LastByteOnTheAttemptEndingAtTheTimeOutFails) {
    ReplyWithLastByteAt(1000);
    EXPECT_EQ(comm.Ping(), 0u);
    // The bytes that did arrive are kept and shown.
    EXPECT_EQ(Bytes(comm.m_PingReply, comm.m_PingReply + 6), kBareHeader);
}

TEST_F(Exchange, LongExchangeHasTheSameBoundary) {
    uint8_t req[7] = {}, rsp[6] = {};
    ReplyWithLastByteAt(4999);
    EXPECT_NE(comm.SendCommandLongTimeout(5000, 0x1024, req, 1, rsp), 0u);
    ReplyWithLastByteAt(clock.NowMs() + 5000);
    EXPECT_EQ(comm.SendCommandLongTimeout(5000, 0x1024, req, 1, rsp), 0u);
}

TEST_F(Exchange, ZeroOrNegativeTimeOutFailsAfterOneAttempt) {
    for (int32_t timeout : {0, -5}) {
        link.m_nReadAttempts = 0;
        link.QueueReply(kBareHeader);
        comm.m_nResponseTimeoutMs = timeout;
        EXPECT_EQ(comm.Ping(), 0u) << timeout;
        EXPECT_EQ(link.m_nReadAttempts, 1u) << timeout;
        EXPECT_EQ(comm.m_PingReply[0], 0x68);  // the attempt did store its byte

        uint8_t req[6] = {}, rsp[6] = {};
        link.m_nReadAttempts = 0;
        EXPECT_EQ(comm.SendCommandLongTimeout(timeout, 0x1000, req, 0, rsp), 0u);
        EXPECT_EQ(link.m_nReadAttempts, 1u);
        while (link.Pending()) {
            uint8_t b;
            link.ReadByte(&b);
        }
    }
}

TEST_F(Exchange, SilentUnitTimesOutAndPingReplyIsZero) {
    std::fill(std::begin(comm.m_PingReply), std::end(comm.m_PingReply), 0xEE);
    EXPECT_EQ(comm.Ping(), 0u);
    EXPECT_EQ(clock.NowMs(), 1000);
    EXPECT_EQ(Bytes(comm.m_PingReply, comm.m_PingReply + 6), Bytes(6, 0));
}

TEST_F(Exchange, AnyFullReplySucceedsWhateverItsContent) {
    link.QueueReply({1, 2, 3, 4, 5, 6});
    EXPECT_NE(comm.Ping(), 0u);
    EXPECT_EQ(Bytes(comm.m_PingReply, comm.m_PingReply + 6), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST_F(Exchange, FailedWriteReadsNothingAndTracesNothing) {
    link.m_nWriteResult = 0;
    uint8_t req[7] = {}, rsp[6] = {};
    EXPECT_EQ(comm.Ping(), 0u);
    EXPECT_EQ(comm.SendCommandLongTimeout(25000, 0x1024, req, 1, rsp), 0u);
    EXPECT_EQ(link.m_nReadAttempts, 0u);
    EXPECT_TRUE(trace.Writes().empty());
}

TEST_F(Exchange, SurplusBytesOpenTheNextResponse) {
    link.QueueReply({0x68, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB});
    EXPECT_NE(comm.Ping(), 0u);
    link.QueueReply(kBareHeader);
    EXPECT_NE(comm.Ping(), 0u);
    EXPECT_EQ(Bytes(comm.m_PingReply, comm.m_PingReply + 6), (Bytes{0xAA, 0xBB, 0x68, 0x00, 0x00, 0x00}));
    EXPECT_EQ(link.Pending(), 2u);
}

TEST_F(Exchange, LongExchangeFailureTraceNothingReceived) {
    uint8_t req[7] = {}, rsp[6] = {};
    req[6] = 0x13;
    EXPECT_EQ(comm.SendCommandLongTimeout(25000, 0x1024, req, 1, rsp), 0u);
    EXPECT_EQ(trace.Writes(), (std::vector<std::string>{
                                  "***** CTR52K1_Comm::SendCommandLongTimeout(0x1024, 1, 0) failed.\r\n",
                                  "***** Number of Bytes Received: 0.\r\n", "***** Values:\r\n"}));
}

TEST_F(Exchange, LongExchangeFailureTraceListsReceivedBytes) {
    link.QueueReply({0x68, 0x00, 0x21});
    EXPECT_EQ(comm.SetOperationalMode(3), 0u);
    EXPECT_EQ(comm.m_nOperationalMode, 3);  // stored whatever the reply
    EXPECT_EQ(trace.Writes(), (std::vector<std::string>{
                                  "***** CTR52K1_Comm::SendCommandLongTimeout(0x1000, 1, 0) failed.\r\n",
                                  "***** Number of Bytes Received: 3.\r\n",
                                  "***** Values: 0x68 0x00 0x21\r\n"}));
}

TEST_F(Exchange, SuccessfulLongExchangeTracesNothing) {
    link.QueueReply(kBareHeader);
    EXPECT_NE(comm.SelectFPGA_ConfigEEPROM(3), 0u);
    EXPECT_TRUE(trace.Writes().empty());
}

TEST_F(Exchange, FinishDspFlashNeedsAllTenBytesInTime) {
    link.QueueReply(Bytes(9, 0x11));
    EXPECT_EQ(comm.FinishDSP_Flash(0), 0u);
    link.QueueReply(Bytes(9, 0x11));
    link.QueueReplyAt(clock.NowMs() + 500, {0x11});
    EXPECT_NE(comm.FinishDSP_Flash(0), 0u);
}

TEST_F(Exchange, ContinuousStatusKeepsEraseFlagWhenTheReadFails) {
    link.QueueReply({0x68, 0, 0x23, 0x10, 1, 0, 0x01});
    EXPECT_NE(comm.ReadContinuousStatus(), 0u);
    EXPECT_EQ(comm.m_bEraseComplete, 1u);
    EXPECT_EQ(comm.ReadContinuousStatus(), 0u);  // silent
    EXPECT_EQ(comm.m_bEraseComplete, 1u);
    link.QueueReply({0x68, 0, 0x23, 0x10, 1, 0, 0xFE});
    EXPECT_NE(comm.ReadContinuousStatus(), 0u);
    EXPECT_EQ(comm.m_bEraseComplete, 0u);
}
}  // namespace
