// The command object over the TCP link against the simulator on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/SimServer.h"

namespace {
struct Loopback : ::testing::Test {
    CUnitSimulator unit;
    CSimServer server{unit};
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
    std::unique_ptr<CNetworkDeviceComm> link;
    std::unique_ptr<CTR52K1_Comm> comm;

    void SetUp() override {
        unit.m_eraseMs = 50;
        std::string error;
        ASSERT_TRUE(server.Start(0, "127.0.0.1", &error)) << error;
        Connect();
    }
    void Connect() {
        comm.reset();
        link.reset();  // close before reconnecting, as a tool does
        link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", server.Port());
        ASSERT_NE(link->IsConnected(), 0u);
        comm = std::make_unique<CTR52K1_Comm>(link.get());
        comm->m_nResponseTimeoutMs = 1000;
    }
    void TearDown() override {
        comm.reset();
        link.reset();
        server.Stop();
    }
    template <class F>
    void WithUnit(F f) {
        std::lock_guard<std::mutex> lock(unit.m_mutex);
        f();
    }
};

TEST_F(Loopback, PingAndTheStartUpReads) {
    ASSERT_NE(comm->Ping(), 0u);
    EXPECT_EQ(comm->m_PingReply[0], 0x68);
    ASSERT_NE(comm->ReadDeviceInfo(), 0u);
    ASSERT_NE(comm->ReadStatusRecord(), 0u);
    ASSERT_NE(comm->ReadEepromDirectory(), 0u);
    ASSERT_NE(comm->ReadOperationalStatus(), 0u);
    EXPECT_EQ(comm->m_strSerialNumber, "00AB-005");
    EXPECT_EQ(comm->m_dwFioFpgaFwVersion, 0x3Fu);
    EXPECT_EQ(comm->m_wDpFpgaBoardPcbRev, 300);
    EXPECT_EQ(Utf16ToUtf8(comm->m_szDeviceId), unit.m_deviceId);
    EXPECT_EQ(comm->m_dwIpAddress, 0xC0A80164u);
    EXPECT_EQ(comm->m_bUpdateEnable, 1u);
    EXPECT_EQ(comm->m_dwEepromImageId[1], unit.m_imageIds[1]);
    EXPECT_EQ(comm->m_wEepromPersonality[2], 3);
    EXPECT_EQ(comm->m_nOperationalMode, 1);
    EXPECT_EQ(Utf16ToUtf8(comm->m_szConfigText[0]).substr(0, 24), "TR52K Telemetry Receiver");
}

TEST_F(Loopback, EepromProgrammedByHandArrivesByteExact) {
    std::vector<uint8_t> image(3 * 256);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    ASSERT_NE(comm->BulkEraseFPGA_ConfigEEPROM(10), 0u);
    int polls = 0;
    while (!comm->m_bEraseComplete && polls++ < 200) {
        comm->ReadContinuousStatus();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(comm->m_bEraseComplete, 0u);
    for (uint32_t off = 0; off < image.size(); off += 256)
        ASSERT_NE(comm->WriteFPGA_ConfigEEPROM_Page(10, off, image.data() + off), 0u);
    ASSERT_NE(comm->SelectFPGA_ConfigEEPROM(10), 0u);
    ASSERT_NE(comm->ReadEepromDirectory(), 0u);
    EXPECT_EQ(comm->m_nCurrentEeprom, 10);
    WithUnit([&] { EXPECT_EQ(unit.EepromDigest(10), CUnitSimulator::Digest(image)); });
}

TEST_F(Loopback, DspBlocksArriveByteExact) {
    std::vector<uint8_t> image(1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ 0x5A);
    comm->StartDSP_Flash(0);
    for (size_t off = 0; off < image.size(); off += 128) {
        uint16_t n = static_cast<uint16_t>(std::min<size_t>(128, image.size() - off));
        ASSERT_NE(comm->WriteDSP_FlashBlock(0, image.data() + off, n), 0u);
    }
    ASSERT_NE(comm->FinishDSP_Flash(0), 0u);
    WithUnit([&] { EXPECT_EQ(unit.m_dspImages[0], image); });
}

TEST_F(Loopback, SilentUnitTimesOut) {
    WithUnit([&] { unit.m_faults.drop[0x0000] = -1; });
    comm->m_nResponseTimeoutMs = 200;
    EXPECT_EQ(comm->Ping(), 0u);
    EXPECT_EQ(comm->m_PingReply[0], 0);
}

TEST_F(Loopback, DelayJustUnderAndOverTheTimeOut) {
    comm->m_nResponseTimeoutMs = 600;
    WithUnit([&] { unit.m_faults.delayMs[0x0000] = 200; });
    EXPECT_NE(comm->Ping(), 0u);
    WithUnit([&] { unit.m_faults.delayMs[0x0000] = 1200; });
    EXPECT_EQ(comm->Ping(), 0u);
}

TEST_F(Loopback, ShortReplyFailsAndExtraBytesOpenTheNextReply) {
    WithUnit([&] { unit.m_faults.shortLen[0x2002] = 8; });
    comm->m_nResponseTimeoutMs = 300;
    EXPECT_EQ(comm->ReadNetworkSettings(), 0u);
    EXPECT_EQ(comm->m_dwIpAddress, 0xC0000000u);  // DHCP byte and the first octet came
    WithUnit([&] { unit.m_faults.extra[0x0000] = 2; });
    EXPECT_NE(comm->Ping(), 0u);
    WithUnit([&] { unit.m_faults.extra.clear(); });
    EXPECT_NE(comm->Ping(), 0u);
    EXPECT_EQ(comm->m_PingReply[0], 0xE0);  // the strays came first
    EXPECT_EQ(comm->m_PingReply[1], 0xE1);
    EXPECT_EQ(link->FlushReceive(), 2);     // what is left of that reply
}

TEST_F(Loopback, ConnectionClosedMidWayFailsEveryLaterExchange) {
    WithUnit([&] { unit.m_faults.closeAfterFrames = 1; });
    EXPECT_NE(comm->Ping(), 0u);
    comm->m_nResponseTimeoutMs = 100;
    EXPECT_EQ(comm->Ping(), 0u);
    EXPECT_EQ(comm->ReadDeviceInfo(), 0u);
    EXPECT_EQ(link->IsConnected(), 0u);
    EXPECT_NE(trace.Text().find("connection closed by the device"), std::string::npos);
}

TEST_F(Loopback, SecondClientIsRefusedNotHung) {
    CCapturingDebugSink other;
    CScopedThreadDebugSink s(&other);
    CNetworkDeviceComm second("127.0.0.1", server.Port());
    CTR52K1_Comm secondComm(&second);
    secondComm.m_nResponseTimeoutMs = 300;
    EXPECT_EQ(secondComm.Ping(), 0u);
    EXPECT_NE(comm->Ping(), 0u);  // the first client is still served
    EXPECT_GE(server.m_refusedClients.load(), 1);
}

TEST_F(Loopback, QuickReconnectsAreServed) {
    // A tool run after another connects right after the previous close; the
    // unit must not take it for a second client.
    for (int i = 0; i < 20; ++i) {
        Connect();
        ASSERT_NE(comm->Ping(), 0u) << "reconnect " << i;
    }
    EXPECT_EQ(server.m_refusedClients.load(), 0);
}

TEST_F(Loopback, ModeAndTurnOffReachTheUnit) {
    EXPECT_NE(comm->SetOperationalMode(3), 0u);
    EXPECT_NE(comm->TurnOff(TURN_OFF_GRAPHS_1), 0u);
    EXPECT_NE(comm->ReadOperationalStatus(), 0u);
    EXPECT_EQ(comm->m_nOperationalMode, 3);
    WithUnit([&] { EXPECT_EQ(unit.m_turnOffs, (std::vector<uint8_t>{1})); });
}
}  // namespace
