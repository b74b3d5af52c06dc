#include <gtest/gtest.h>

#include <vector>

#include "link/MemoryDeviceLink.h"
#include "platform/Clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(MemoryDeviceLink, IdleReadSleepsOneMillisecondAndCountsTheAttempt) {
    CFakeClock clock(1000);
    CMemoryDeviceLink link(clock);
    uint8_t b = 0x5A;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(link.ReadByte(&b), 0u);
    EXPECT_EQ(b, 0x5A);  // untouched
    EXPECT_EQ(clock.NowMs(), 1003);
    EXPECT_EQ(link.m_nReadAttempts, 3u);
}

TEST(MemoryDeviceLink, BytesComeInOrderOnlyWhenDue) {
    CFakeClock clock(0);
    CMemoryDeviceLink link(clock);
    link.QueueReply({1, 2});
    link.QueueReplyAt(5, {3});
    uint8_t b = 0;
    ASSERT_EQ(link.ReadByte(&b), 1u);
    EXPECT_EQ(b, 1);
    ASSERT_EQ(link.ReadByte(&b), 1u);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(clock.NowMs(), 0);  // a served byte costs no time

    int misses = 0;
    while (!link.ReadByte(&b)) ++misses;
    EXPECT_EQ(misses, 5);  // t = 0..4 miss, t = 5 serves
    EXPECT_EQ(b, 3);
    EXPECT_EQ(link.Pending(), 0u);
}

TEST(MemoryDeviceLink, WritesAreRecordedAndDriveTheScript) {
    CFakeClock clock;
    CMemoryDeviceLink link(clock);
    link.m_onWrite = [&](const Bytes& frame) { link.QueueReply({static_cast<uint8_t>(frame.size())}); };
    const uint8_t frame[] = {0x68, 0x00, 0x02, 0x10, 0x00, 0x00, 0xEE};
    EXPECT_EQ(link.WriteBuffer(frame, 7), 1u);
    EXPECT_EQ(link.WriteHeader(frame), 1u);
    EXPECT_EQ(link.WriteByte(0x1AB), 1u);
    ASSERT_EQ(link.m_writes.size(), 3u);
    EXPECT_EQ(link.m_writes[0], Bytes(frame, frame + 7));
    EXPECT_EQ(link.m_writes[1], Bytes(frame, frame + 6));
    EXPECT_EQ(link.m_writes[2], Bytes{0xAB});  // low 8 bits only
    uint8_t b = 0;
    std::vector<uint8_t> replies;
    while (link.ReadByte(&b)) replies.push_back(b);
    EXPECT_EQ(replies, (Bytes{7, 6, 1}));
}

TEST(MemoryDeviceLink, FailedWriteRecordsNothingAndRunsNoScript) {
    CFakeClock clock;
    CMemoryDeviceLink link(clock);
    int calls = 0;
    link.m_onWrite = [&](const Bytes&) { ++calls; };
    link.m_nWriteResult = 0;
    const uint8_t frame[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(link.WriteBuffer(frame, 6), 0u);
    EXPECT_EQ(link.WriteHeader(frame), 0u);
    EXPECT_EQ(link.WriteByte(1), 0u);
    EXPECT_TRUE(link.m_writes.empty());
    EXPECT_EQ(calls, 0);
}

TEST(MemoryDeviceLink, FlushDrainsWhatArrivesWithinHundredMilliseconds) {
    CFakeClock clock(0);
    CMemoryDeviceLink link(clock);
    link.QueueReply({1, 2, 3});
    link.QueueReplyAt(50, {4, 5});
    link.QueueReplyAt(99, {6});
    link.QueueReplyAt(150, {7, 8});
    EXPECT_EQ(link.FlushReceive(), 6u);
    EXPECT_GE(clock.NowMs(), 100);
    EXPECT_LT(clock.NowMs(), 150);
    EXPECT_EQ(link.Pending(), 2u);

    CFakeClock idle(0);
    CMemoryDeviceLink empty(idle);
    EXPECT_EQ(empty.FlushReceive(), 0u);
    EXPECT_GE(idle.NowMs(), 100);
}

TEST(MemoryDeviceLink, FlushCountIsLow16Bits) {
    CFakeClock clock;
    CMemoryDeviceLink link(clock);
    link.QueueReply(Bytes(65536 + 3, 0xAA));
    EXPECT_EQ(link.FlushReceive(), 3u);
    EXPECT_EQ(link.Pending(), 0u);
}

}  // namespace
