// Decoding of every record, also after short and failed exchanges, and the
// order in which the read chains stop.
#include <gtest/gtest.h>

#include <map>

#include "link/MemoryDeviceLink.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"

namespace {
using Bytes = std::vector<uint8_t>;

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
    std::map<uint16_t, Bytes> answers{{CMD_READ_DEVICE_INFO, Bytes(48, 0)},
                                      {CMD_READ_DEVICE_ID, Bytes(16, 'A')},
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
            const Bytes& payload = page ? pages[f[6]] : answers[cmd];
            Bytes reply = {0x68, 0x00, f[2], f[3], static_cast<uint8_t>(payload.size()), 0};
            reply.insert(reply.end(), payload.begin(), payload.end());
            link.QueueReply(reply);
        };
    }
};

TEST(Decode, EveryRecord) {
    Unit u;
    CTR52K1_Comm& c = u.comm;
    // Every versions byte different, so a field read from a wrong offset shows.
    for (int i = 0; i < 48; ++i) u.answers[CMD_READ_DEVICE_INFO][i] = static_cast<uint8_t>(i + 1);
    u.answers[CMD_READ_DEVICE_ID] = {'T', 'R', '5', '2', 'K', '-', '0', '0', '1', '2', '3', '4', '5', '6', '7', '8'};
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
    EXPECT_EQ(Utf16ToUtf8(c.m_szDeviceId), "TR52K-0012345678");
    for (int k = 0; k < 5; ++k) EXPECT_EQ(Utf16ToUtf8(c.m_szConfigText[k]), char('A' + k) + text.substr(1));
    const struct {
        const char* field;
        int64_t got, want;
    } fields[] = {
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
}

TEST(Decode, ShortAndFailedRepliesDecodeWhatCame) {
    Unit u;
    u.answers.erase(CMD_READ_DEVICE_INFO);
    u.link.QueueReply({0x68, 0, 0x03, 0x20, 48, 0, 0, 0, 0, 0, 0x00, 0x12, 0, 0x05, 0xAB});  // 9 of 48
    u.comm.m_dwDsp1FwVersion = 0x11111111;
    EXPECT_EQ(u.comm.ReadDeviceInfo(), 0u);
    EXPECT_EQ(u.comm.m_strSerialNumber, "0012-005");
    EXPECT_EQ(u.comm.m_dwDsp1FwVersion, 0xAB000000u);  // the missing bytes read as zero

    EXPECT_EQ(u.comm.ReadIdentityPage(), 0u);  // page 0 unanswered
    EXPECT_EQ(u.comm.m_bIdentityRead, 1u);     // marked as read all the same
    EXPECT_EQ(u.comm.m_dwIpAddress, 0u);

    u.comm.m_nCurrentEeprom = 5;
    u.pages[2] = Words({{43, 12}});
    EXPECT_NE(u.comm.ReadEepromDirectory(), 0u);
    EXPECT_EQ(u.comm.m_nCurrentEeprom, 0);  // only 1..11 name an EEPROM
}

TEST(Decode, ReadChainsStopAtTheFirstFailure) {
    const uint16_t info = CMD_READ_DEVICE_INFO, id = CMD_READ_DEVICE_ID, page = CMD_READ_CONFIG_PAGE;
    const struct {
        bool directory;  // else the device information chain
        int silentPage;           // 0: none (page 0 is not part of either chain)
        uint16_t silentCommand;  // 0: none
        std::vector<uint16_t> commands;
        std::vector<uint8_t> pages;
    } cases[] = {
        {false, 0, 0, {info, id, page, page, page, page, page, CMD_READ_NETWORK_SETTINGS}, {20, 21, 22, 23, 24}},
        {false, 0, info, {info}, {}},
        {false, 0, id, {info, id}, {}},
        {false, 22, 0, {info, id, page, page, page}, {20, 21, 22}},
        {true, 0, 0, {page, page}, {2, 3}},
        {true, 2, 0, {page}, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.directory << " " << c.silentPage << " " << c.silentCommand);
        Unit u;
        u.answers.erase(c.silentCommand);
        u.pages.erase(c.silentPage);
        const bool ok = c.silentPage == 0 && c.silentCommand == 0;
        EXPECT_EQ((c.directory ? u.comm.ReadEepromDirectory() : u.comm.ReadDeviceInfo()) != 0, ok);
        EXPECT_EQ(u.commands, c.commands);
        EXPECT_EQ(u.pagesAsked, c.pages);
        EXPECT_EQ(u.comm.m_bVersionsRead, !c.directory && ok ? 1u : 0u);
    }
}
}  // namespace
