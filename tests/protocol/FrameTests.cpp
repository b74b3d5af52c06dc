// Request frames byte-exact, EEPROM and selector encodings, refusals.
#include <gtest/gtest.h>

#include "link/MemoryDeviceLink.h"
#include "protocol/TR52K1_Comm.h"

namespace {
using Bytes = std::vector<uint8_t>;

struct Fixture : ::testing::Test {
    CFakeClock clock;
    CMemoryDeviceLink link{clock};
    CTR52K1_Comm comm{&link, clock};
    Bytes LastFrame() const { return link.m_writes.empty() ? Bytes{} : link.m_writes.back(); }
};

Bytes Header(uint16_t cmd, uint16_t len) {
    return {0x68, 0x00, static_cast<uint8_t>(cmd), static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(len),
            static_cast<uint8_t>(len >> 8)};
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using FrameCase = std::pair<const char*, std::function<void(CTR52K1_Comm&)>>;

TEST_F(Fixture, EveryCommandFrameIsByteExact) {
    struct Case {
        const char* name;
        std::function<void(CTR52K1_Comm&)> send;
        Bytes expected;
    };
    const Case cases[] = {
        {"ping", [](CTR52K1_Comm& c) { c.Ping(); }, Header(0x0000, 0)},
        {"mode 2", [](CTR52K1_Comm& c) { c.SetOperationalMode(2); }, Cat(Header(0x1000, 1), {0x02})},
        {"dsp start 1", [](CTR52K1_Comm& c) { c.StartDSP_Flash(1); },
         Cat(Header(0x1001, 6), {0x13, 0x01, 0x01, 0, 0, 0})},
        {"dsp finish sel 2", [](CTR52K1_Comm& c) { c.FinishDSP_Flash(2); },
         {0x68, 0x00, 0x01, 0x10, 0x06, 0x00, 0x13, 0xFF, 0x01, 0x00, 0x00, 0x00}},
        {"dsp finish sel 0", [](CTR52K1_Comm& c) { c.FinishDSP_Flash(0); },
         {0x68, 0x00, 0x01, 0x10, 0x06, 0x00, 0x13, 0xFF, 0x00, 0x00, 0x00, 0x00}},
        {"turn off status", [](CTR52K1_Comm& c) { c.TurnOff(TURN_OFF_CONSOLIDATED_STATUS); },
         Cat(Header(0x1002, 7), {0x06, 0, 0, 0, 0, 0, 0})},
        {"device id", [](CTR52K1_Comm& c) { c.ReadDeviceId(); }, Cat(Header(0x1003, 17), Bytes(17, 0))},
        {"status record", [](CTR52K1_Comm& c) { c.ReadStatusRecord(); }, Header(0x1008, 0)},
        {"bulk erase 8", [](CTR52K1_Comm& c) { c.BulkEraseFPGA_ConfigEEPROM(8); }, Cat(Header(0x1022, 1), {0x30})},
        {"continuous status", [](CTR52K1_Comm& c) { c.ReadContinuousStatus(); }, Header(0x1023, 0)},
        {"select 7", [](CTR52K1_Comm& c) { c.SelectFPGA_ConfigEEPROM(7); }, Cat(Header(0x1024, 1), {0x17})},
        {"select 9", [](CTR52K1_Comm& c) { c.SelectFPGA_ConfigEEPROM(9); }, Cat(Header(0x1024, 1), {0x31})},
        {"operational status", [](CTR52K1_Comm& c) { c.ReadOperationalStatus(); }, Header(0x2000, 0)},
        {"network", [](CTR52K1_Comm& c) { c.ReadNetworkSettings(); }, Header(0x2002, 0)},
        {"device info", [](CTR52K1_Comm& c) { c.m_nResponseTimeoutMs = 0; c.ReadDeviceInfo(); }, Header(0x2003, 0)},
        {"config page 3", [](CTR52K1_Comm& c) { c.ReadConfigPage(3); }, Cat(Header(0x2009, 1), {0x03})},
    };
    for (const auto& c : cases) {
        link.m_writes.clear();
        c.send(comm);
        ASSERT_FALSE(link.m_writes.empty()) << c.name;
        EXPECT_EQ(link.m_writes.front(), c.expected) << c.name;
    }
}

TEST_F(Fixture, DspBlockFramesCarryTheFlagAndTheData) {
    Bytes data(128);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    comm.WriteDSP_FlashBlock(0, data.data(), 128);
    Bytes f = LastFrame();
    ASSERT_EQ(f.size(), 135u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 7), Cat(Header(0x1020, 129), {0x00}));
    EXPECT_EQ(Bytes(f.begin() + 7, f.end()), data);

    comm.WriteDSP_FlashBlock(2, data.data(), 1);  // any non-zero selector is DSP2
    EXPECT_EQ(LastFrame(), Cat(Header(0x1020, 2), {0x01, 0x00}));
}

TEST_F(Fixture, DspBlockOutsideOneTo128IsRefusedWithoutTraffic) {
    Bytes data(200, 0x55);
    EXPECT_EQ(comm.WriteDSP_FlashBlock(0, data.data(), 0), 0u);
    EXPECT_EQ(comm.WriteDSP_FlashBlock(0, data.data(), 129), 0u);
    EXPECT_TRUE(link.m_writes.empty());
}

TEST_F(Fixture, PageWriteCarriesPageNumberBigEndian) {
    Bytes page(256);
    for (size_t i = 0; i < 256; ++i) page[i] = static_cast<uint8_t>(255 - i);
    const std::pair<uint32_t, Bytes> offsets[] = {
        {74496, {0x01, 0x23}}, {130816, {0x01, 0xFF}}, {512, {0x00, 0x02}}, {65536, {0x01, 0x00}}};
    comm.m_nResponseTimeoutMs = 0;
    for (const auto& [offset, address] : offsets) {
        link.QueueReply(Header(0x1021, 0));
        comm.WriteFPGA_ConfigEEPROM_Page(11, offset, page.data());
        Bytes f = LastFrame();
        ASSERT_EQ(f.size(), 265u);
        EXPECT_EQ(f[4], 0x03);  // 259 = 0x0103, low byte first
        EXPECT_EQ(f[5], 0x01);
        EXPECT_EQ(f[6], 0x33);
        EXPECT_EQ(Bytes(f.begin() + 7, f.begin() + 9), address) << offset;
        EXPECT_EQ(Bytes(f.begin() + 9, f.end()), page);
    }
}

TEST_F(Fixture, EepromIndexAbove11IsRefusedWithoutTraffic) {
    Bytes page(256, 0);
    EXPECT_EQ(comm.BulkEraseFPGA_ConfigEEPROM(12), 0u);
    EXPECT_EQ(comm.WriteFPGA_ConfigEEPROM_Page(12, 0, page.data()), 0u);
    EXPECT_EQ(comm.SelectFPGA_ConfigEEPROM(99), 0u);
    EXPECT_TRUE(link.m_writes.empty());
    EXPECT_EQ(link.m_nReadAttempts, 0u);
}

TEST(SelectCode, MapsTheTwelveEeproms) {
    const uint8_t expected[12] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x30, 0x31, 0x32, 0x33};
    for (uint32_t k = 0; k < 12; ++k) {
        uint8_t code = 0;
        ASSERT_TRUE(EepromSelectCode(k, &code));
        EXPECT_EQ(code, expected[k]) << k;
    }
    uint8_t code = 0xAA;
    EXPECT_FALSE(EepromSelectCode(12, &code));
    EXPECT_EQ(code, 0xAA);
}

TEST(Personality, NamesAndUnknown) {
    EXPECT_STREQ(PersonalityName(0), "Unused");
    EXPECT_STREQ(PersonalityName(1), "2 BitSyncs, 3 Decoms, 2 Sims Mode");
    EXPECT_STREQ(PersonalityName(2), "1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim Mode");
    EXPECT_STREQ(PersonalityName(3), "1 Decom, 2 Super Sims Mode");
    EXPECT_STREQ(PersonalityName(4), "Unknown");
    EXPECT_STREQ(PersonalityName(0xFFFFFFFF), "Unknown");
}

TEST_F(Fixture, OversizedPayloadIsRefusedInsteadOfTruncated) {
    std::vector<uint8_t> request(6 + 65530, 0), response(6, 0);
    EXPECT_EQ(comm.SendCommand(0x1234, request.data(), 65530, response.data(), 0), 0u);
    EXPECT_TRUE(link.m_writes.empty());
}
}  // namespace
