// Capture files and their replay without a network: our own pcap writer
// read back by libpcap and the other way round, TCP put back together from
// the segments a capture tool records, and the replayed session's verdicts.
#include <gtest/gtest.h>

#include <fstream>

#include "link/TcpCapture.h"
#include "sim/CaptureStreams.h"
#include "sim/ReplayPeer.h"
#include "support/ScratchDir.h"

namespace {
CCaptureEndpoint Ep(uint8_t last, uint16_t port) {
    CCaptureEndpoint e;
    e.address[0] = 10, e.address[3] = last;
    e.port = port;
    return e;
}
const CCaptureEndpoint kTool = Ep(1, 40000), kUnit = Ep(2, 5000);

// A segment as a capture tool saw it: from the tool (or the unit), at
// sequence offset `at` of that direction, at time `ms`.
CCapturedPacket Seg(bool fromUnit, uint32_t at, const std::vector<uint8_t>& data, int64_t ms, uint8_t flags = kTcpAck) {
    const uint32_t isn = fromUnit ? 7000 : 0xFFFFFF00;  // the tool's wraps around
    CCapturedPacket p;
    p.timeUs = ms * 1000;
    p.bytes = TcpFrame(fromUnit ? kUnit : kTool, fromUnit ? kTool : kUnit, isn + 1 + at, 0, flags, 0, data.data(),
                       data.size());
    return p;
}
std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }
const std::vector<uint8_t> kPing = {0x68, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kMode = {0x68, 0, 0x00, 0x10, 1, 0, 3};
}  // namespace

TEST(CaptureFile, EachWriterIsReadByTheOtherReader) {
    ScratchDir dir("tr52k-pcap");
    const std::vector<uint8_t> frame = TcpFrame(kTool, kUnit, 1, 2, kTcpPsh | kTcpAck, 9, kMode.data(), kMode.size());
    for (bool own : {true, false}) {
        SCOPED_TRACE(own ? "our writer, libpcap reads" : "libpcap writes, our reader");
        const std::string path = (dir.path / (own ? "own.pcap" : "lib.pcap")).string();
        std::string why;
        {
            auto file = own ? CreateOwnPcapFile(path, &why) : CreatePacketFile(path, &why);
            ASSERT_TRUE(file) << why;
            ASSERT_TRUE(file->Write(1700000000123456, frame.data(), frame.size()));
            ASSERT_TRUE(file->Write(1700000001000001, frame.data(), 20));
        }
        std::vector<CCapturedPacket> read;
        ASSERT_TRUE(own ? ReadPacketFile(path, &read, &why) : ReadOwnPcapFile(path, &read, &why)) << why;
        ASSERT_EQ(read.size(), 2u);
        EXPECT_EQ(read[0].timeUs, 1700000000123456);
        EXPECT_EQ(read[0].linkType, 1);
        EXPECT_EQ(read[0].bytes, frame);
        EXPECT_EQ(read[1].timeUs, 1700000001000001);
        EXPECT_EQ(read[1].bytes, std::vector<uint8_t>(frame.begin(), frame.begin() + 20));
    }
    std::string why;
    std::vector<CCapturedPacket> none;
    std::ofstream(dir.path / "ng.pcapng", std::ios::binary) << std::string("\x0A\x0D\x0D\x0A\x1c\0\0\0", 8);
    EXPECT_FALSE(ReadOwnPcapFile((dir.path / "ng.pcapng").string(), &none, &why));
    EXPECT_NE(why.find("pcapng"), std::string::npos) << why;
    // A file with nanosecond times (as tcpdump --time-stamp-precision=nano writes).
    std::string nano;
    for (uint32_t word : {0xA1B23C4Du, 0x00040002u, 0u, 0u, 65535u, 1u, 1u, 500000000u, 4u, 4u, 0x01020304u})
        for (int i = 0; i < 4; ++i) nano.push_back(static_cast<char>(word >> (8 * i)));
    std::ofstream(dir.path / "nano.pcap", std::ios::binary) << nano;
    std::vector<CCapturedPacket> packets;
    ASSERT_TRUE(ReadOwnPcapFile((dir.path / "nano.pcap").string(), &packets, &why)) << why;
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].timeUs, 1500000);
}

TEST(CaptureFile, TheSinkWritesAStreamThatReadsBackAsTheSession) {
    ScratchDir dir("tr52k-pcap");
    const std::string path = (dir.path / "s.pcap").string();
    std::string why;
    {
        CTcpCapture capture(CreateOwnPcapFile(path, &why));
        const int s = capture.OpenStream(kTool, kUnit, 1000);
        const int other = capture.OpenStream(Ep(1, 40001), Ep(3, 5000), 1000);
        std::vector<uint8_t> big(3000, 0x5A);  // more than one segment
        capture.Record(s, ECaptureDirection::ToUnit, kPing.data(), kPing.size(), 2000);
        capture.Record(other, ECaptureDirection::ToUnit, kMode.data(), kMode.size(), 2500);
        capture.Record(s, ECaptureDirection::FromUnit, big.data(), big.size(), 3000);
        capture.CloseStream(s, ECaptureDirection::ToUnit, 4000);
        EXPECT_FALSE(capture.WriteFailed());
    }
    std::vector<CCapturedPacket> packets;
    ASSERT_TRUE(ReadPacketFile(path, &packets, &why)) << why;
    const std::vector<CRecordedConnection> c = RecordedConnections(packets);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(EndpointText(c[0].unit), "10.0.0.2:5000");
    EXPECT_EQ(EndpointText(c[0].client), "10.0.0.1:40000");
    ASSERT_EQ(c[0].deliveries.size(), 4u);  // the ping, then the reply in three segments
    EXPECT_EQ(c[0].deliveries[0].bytes, kPing);
    EXPECT_FALSE(c[0].deliveries[0].fromUnit);
    EXPECT_EQ(c[0].deliveries[1].bytes.size(), CTcpCapture::kSegmentBytes);
    EXPECT_TRUE(c[0].deliveries[3].fromUnit);
    EXPECT_EQ(c[0].deliveries[3].timeUs, 3000);
    EXPECT_EQ(EndpointText(c[1].unit), "10.0.0.3:5000");
    EXPECT_EQ(c[1].deliveries.at(0).bytes, kMode);
}

TEST(CaptureStreams, RetransmittedAndEarlySegmentsGiveTheBytesOnceInOrder) {
    const std::vector<uint8_t> reply(kPing), before(0xFC, 0x55);  // the tool's sequence numbers wrap at 0xFF
    std::vector<uint8_t> wrapped = before;
    for (uint8_t b : {5, 6, 7, 8, 1, 2, 3, 4}) wrapped.push_back(b);
    const struct {
        const char* name;
        std::vector<CCapturedPacket> packets;
        std::vector<uint8_t> toUnit;
        int64_t completedMs;  // when the last of the tool's bytes became available
    } cases[] = {
        {"in order", {Seg(false, 0, Bytes({0x68, 0, 0}), 1), Seg(false, 3, Bytes({0, 0, 0}), 2)}, kPing, 2},
        {"retransmitted whole",
         {Seg(false, 0, kPing, 1), Seg(false, 0, kPing, 5), Seg(false, 6, kMode, 6)},
         {0x68, 0, 0, 0, 0, 0, 0x68, 0, 0x00, 0x10, 1, 0, 3}, 6},
        {"the second half first", {Seg(false, 3, Bytes({0, 0, 0}), 1), Seg(false, 0, Bytes({0x68, 0, 0}), 4)}, kPing, 4},
        {"overlapping retransmission",
         {Seg(false, 0, Bytes({0x68, 0, 0}), 1), Seg(false, 1, Bytes({0, 0, 0, 0, 0}), 3)}, kPing, 3},
        {"the part after the wrap first",
         {Seg(false, 0, before, 1), Seg(false, 0x100, Bytes({1, 2, 3, 4}), 2), Seg(false, 0xFC, Bytes({5, 6, 7, 8}), 3)},
         wrapped, 3},
        {"the capture began after the handshake, mid-stream",
         {Seg(false, 100, Bytes({0x68, 0, 0, 0, 0, 0}), 1)}, kPing, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CCapturedPacket> packets = c.packets;
        if (std::string(c.name).find("mid-stream") == std::string::npos)
            packets.insert(packets.begin(), Seg(false, 0xFFFFFFFF, {}, 0, kTcpSyn));  // at the ISN itself
        packets.push_back(Seg(true, 0, reply, 9));
        const std::vector<CRecordedConnection> got = RecordedConnections(packets);
        ASSERT_EQ(got.size(), 1u);
        std::vector<uint8_t> toUnit;
        int64_t last = 0;
        for (const CStreamDelivery& d : got[0].deliveries)
            if (!d.fromUnit) toUnit.insert(toUnit.end(), d.bytes.begin(), d.bytes.end()), last = d.timeUs;
        EXPECT_EQ(toUnit, c.toUnit);
        EXPECT_EQ(last, c.completedMs * 1000);
        EXPECT_EQ(EndpointText(got[0].unit), "10.0.0.2:5000");
    }
}

TEST(CaptureStreams, TheSideThatAnsweredTheHandshakeIsTheUnit) {
    // The unit on a port of its own, and a client on 5000: the SYN decides.
    CCapturedPacket syn, synAck;
    syn.bytes = TcpFrame(kUnit, kTool, 7000, 0, kTcpSyn, 0, nullptr, 0);
    synAck.bytes = TcpFrame(kTool, kUnit, 0xFFFFFEFF, 7000, kTcpSyn | kTcpAck, 0, nullptr, 0);
    const auto got = RecordedConnections({syn, synAck, Seg(true, 0, kPing, 1)});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(EndpointText(got[0].unit), "10.0.0.1:40000");
    EXPECT_FALSE(got[0].deliveries.at(0).fromUnit);
}

TEST(ReplayPeer, AnswersAsRecordedAndNamesTheFirstDifference) {
    auto session = [] {
        CRecordedConnection c;
        c.client = kTool, c.unit = kUnit;
        c.deliveries = {{false, kPing, 1000000}, {true, kPing, 1001000}, {true, {1, 2}, 1003000},
                        {false, kMode, 1009000}, {true, Bytes({0x68, 0, 0x00, 0x10, 0, 0}), 1209000}};
        return std::vector<CRecordedConnection>{c};
    };
    {
        CReplayPeer peer(session());
        peer.ResetConnection();
        // The ping in two pieces: nothing until it is whole, then the reply
        // and the stray bytes after their recorded delays.
        EXPECT_TRUE(peer.Feed(kPing.data(), 4).empty());
        std::vector<SimReply> r = peer.Feed(kPing.data() + 4, 2);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0].bytes, kPing);
        EXPECT_EQ(r[0].delayMs, 1);
        EXPECT_EQ(r[1].delayMs, 2);
        r = peer.Feed(kMode.data(), kMode.size());
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].delayMs, 200);  // after the request, not after the stray bytes
        peer.ConnectionClosed();
        EXPECT_EQ(peer.State(), CReplayPeer::EState::Matched);
        EXPECT_EQ(peer.Report(), "replay: the whole session matched: 2 requests over 1 connection, each answered as recorded");
    }
    const struct {
        std::vector<uint8_t> sent;
        bool close;
        std::string report;
    } cases[] = {
        {{0x68, 0, 0, 0, 0, 0, 0x68, 0, 0x00, 0x10, 1, 0, 2}, false,
         "replay: request 2 (command 0x1000) differs at byte 6: recorded 0x03, received 0x02"},
        {{0x68, 1}, false, "replay: request 1 (command 0x0000) differs at byte 1: recorded 0x00, received 0x01"},
        {{0x68, 0, 0, 0, 0, 0, 0x68, 0, 0x00, 0x10, 1, 0, 3, 0x68}, false,
         "replay: request 3 is not in the capture, which ends after 2; it begins 0x68"},
        {{0x68, 0, 0, 0, 0, 0}, true, "replay: the client closed the connection after 1 of the 2 recorded requests"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        CReplayPeer peer(session());
        peer.ResetConnection();
        const std::vector<SimReply> r = peer.Feed(c.sent.data(), c.sent.size());
        if (c.close) peer.ConnectionClosed();
        EXPECT_EQ(peer.State(), CReplayPeer::EState::Differed);
        EXPECT_EQ(peer.Report(), c.report);
        if (!c.close) {
            EXPECT_TRUE(!r.empty() && r.back().closeAfter && r.back().resetOnClose);
        }
    }
}
