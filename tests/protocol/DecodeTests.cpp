// Decoding of every record, also after short and failed exchanges, and the
// order in which the read chains stop.
#include <gtest/gtest.h>

#include <map>

#include "link/MemoryDeviceLink.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"

namespace {
using Bytes = std::vector<uint8_t>;

// A scripted unit: answers each command (and config page) with a stored
// payload; silent for commands it has no answer for.
struct Decode : ::testing::Test {
    CFakeClock clock;
    CMemoryDeviceLink link{clock};
    CTR52K1_Comm comm{&link, clock};
    std::map<uint16_t, Bytes> answers;   // command -> reply payload
    std::map<uint8_t, Bytes> pages;      // config page -> 128 bytes
    std::vector<uint16_t> commands;
    std::vector<uint8_t> pagesAsked;

    Decode() {
        link.m_onWrite = [this](const Bytes& f) {
            uint16_t cmd = static_cast<uint16_t>(f[2] | f[3] << 8);
            commands.push_back(cmd);
            Bytes payload;
            if (cmd == CMD_READ_CONFIG_PAGE) {
                pagesAsked.push_back(f[6]);
                auto it = pages.find(f[6]);
                if (it == pages.end()) return;
                payload = it->second;
            } else {
                auto it = answers.find(cmd);
                if (it == answers.end()) return;
                payload = it->second;
            }
            Bytes reply = {0x68, 0x00, f[2], f[3], static_cast<uint8_t>(payload.size()),
                           static_cast<uint8_t>(payload.size() >> 8)};
            reply.insert(reply.end(), payload.begin(), payload.end());
            link.QueueReply(reply);
        };
    }
    static Bytes Words(std::map<int, uint16_t> words) {
        Bytes p(128, 0);
        for (auto [i, w] : words) {
            p[2 * i] = static_cast<uint8_t>(w >> 8);
            p[2 * i + 1] = static_cast<uint8_t>(w);
        }
        return p;
    }
    void AnswerWholeChain() {
        Bytes info(48, 0);
        answers[CMD_READ_DEVICE_INFO] = info;
        answers[CMD_READ_DEVICE_ID] = Bytes(16, 'A');
        answers[CMD_READ_NETWORK_SETTINGS] = Bytes(5, 0);
        for (uint8_t p = 20; p <= 24; ++p) pages[p] = Bytes(128, 0);
    }
};

TEST_F(Decode, VersionsRecord) {
    AnswerWholeChain();
    Bytes info = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0xAB, 0x00, 0x05, 0x00, 0x00, 0x00, 0x3F, 0x12, 0x34, 0x56, 0x78,
                  0xA1, 0xA2, 0xA3, 0xA4, 0xB1, 0xB2, 0xB3, 0xB4, 0xC1, 0xC2, 0xC3, 0xC4, 0x99, 0x07, 0x01, 0x2C,
                  0x07};
    info.resize(48, 0x55);
    answers[CMD_READ_DEVICE_INFO] = info;
    ASSERT_NE(comm.ReadDeviceInfo(), 0u);
    EXPECT_EQ(comm.m_strSerialNumber, "00AB-005");
    EXPECT_EQ(comm.m_dwDsp1FwVersion, 0x3Fu);
    EXPECT_EQ(comm.m_dwDsp2FwVersion, 0x12345678u);
    EXPECT_EQ(comm.m_dwFioFpgaFwVersion, 0xA1A2A3A4u);
    EXPECT_EQ(comm.m_dwBridgeFpgaFwVersion, 0xB1B2B3B4u);
    EXPECT_EQ(comm.m_dwDpFpgaFwVersion, 0xC1C2C3C4u);
    EXPECT_EQ(comm.m_byDspBoardPcbRev, 7);
    EXPECT_EQ(comm.m_wDpFpgaBoardPcbRev, 300);
    EXPECT_EQ(comm.m_byPersonality, 7);
    EXPECT_EQ(comm.m_bVersionsRead, 1u);
    EXPECT_EQ(Utf16ToUtf8(comm.m_szDeviceId), std::string(16, 'A'));
}

TEST_F(Decode, SerialNumberFormats) {
    const std::tuple<uint16_t, uint16_t, const char*> cases[] = {
        {0x00AB, 5, "00AB-005"}, {0xFFFF, 65535, "FFFF-65535"}, {0x0001, 1234, "0001-1234"}, {0, 0, "0000-000"}};
    for (auto [prefix, seq, text] : cases) {
        Bytes info(48, 0);
        info[4] = static_cast<uint8_t>(prefix >> 8);
        info[5] = static_cast<uint8_t>(prefix);
        info[6] = static_cast<uint8_t>(seq >> 8);
        info[7] = static_cast<uint8_t>(seq);
        answers[CMD_READ_DEVICE_INFO] = info;
        comm.ReadDeviceInfo();
        EXPECT_EQ(comm.m_strSerialNumber, text);
    }
}

TEST_F(Decode, FailedVersionsReadStillDecodesAndStopsTheChain) {
    comm.m_dwDsp1FwVersion = 0x11111111;
    link.QueueReply({0x68, 0, 0x03, 0x20, 48, 0, 0, 0, 0, 0, 0x00, 0x12, 0, 0x05, 0xAB});  // 9 payload bytes
    EXPECT_EQ(comm.ReadDeviceInfo(), 0u);
    EXPECT_EQ(comm.m_strSerialNumber, "0012-005");
    EXPECT_EQ(comm.m_dwDsp1FwVersion, 0xAB000000u);  // missing bytes read as zero
    EXPECT_EQ(commands, (std::vector<uint16_t>{CMD_READ_DEVICE_INFO}));
    EXPECT_EQ(comm.m_bVersionsRead, 0u);
}

TEST_F(Decode, TextPageFailureStopsBeforeLaterPagesAndNetwork) {
    AnswerWholeChain();
    pages.erase(22);
    EXPECT_EQ(comm.ReadDeviceInfo(), 0u);
    EXPECT_EQ(pagesAsked, (std::vector<uint8_t>{20, 21, 22}));
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_READ_NETWORK_SETTINGS), 0);
    EXPECT_EQ(comm.m_bVersionsRead, 0u);
}

TEST_F(Decode, TextPagesUseLowBytes) {
    Bytes p(128, 0);
    const std::string text = "Korvanex TR52K";
    for (size_t i = 0; i < text.size(); ++i) {
        p[2 * i] = 0x7F;  // high byte ignored
        p[2 * i + 1] = static_cast<uint8_t>(text[i]);
    }
    for (uint8_t k = 20; k <= 24; ++k) pages[k] = p;
    ASSERT_NE(comm.ReadTextPages(), 0u);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(Utf16ToUtf8(comm.m_szConfigText[k]), text);
}

TEST_F(Decode, IdentityPageAndNetworkRecord) {
    pages[0] = Words({{34, 0x0002}, {38, 0xC0A8}, {39, 0x0164}});
    EXPECT_NE(comm.ReadIdentityPage(), 0u);
    EXPECT_EQ(comm.m_dwIpAddress, 0xC0A80164u);
    EXPECT_EQ(comm.m_bDhcpEnabled, 1u);
    EXPECT_EQ(comm.m_bIdentityRead, 1u);

    answers[CMD_READ_NETWORK_SETTINGS] = {0x00, 10, 1, 2, 3};
    EXPECT_NE(comm.ReadNetworkSettings(), 0u);
    EXPECT_EQ(comm.m_bDhcpEnabled, 0u);
    EXPECT_EQ(comm.m_dwIpAddress, 0x0A010203u);
}

TEST_F(Decode, IdentityReadIsMarkedEvenWhenItFails) {
    EXPECT_EQ(comm.ReadIdentityPage(), 0u);
    EXPECT_EQ(comm.m_bIdentityRead, 1u);
    EXPECT_EQ(comm.m_dwIpAddress, 0u);
}

TEST_F(Decode, EepromDirectory) {
    std::map<int, uint16_t> w = {{43, 11}, {60, 0x0001}, {63, 0x0083}};
    for (int i = 0; i < 8; ++i) {
        w[27 + 2 * i] = static_cast<uint16_t>(0x1000 + i);
        w[28 + 2 * i] = static_cast<uint16_t>(0x2000 + i);
    }
    for (int i = 0; i < 12; ++i) w[44 + i] = static_cast<uint16_t>(i % 4);
    pages[2] = Words(w);
    pages[3] = Words({{0, 0xAAAA}, {1, 0x0008}, {6, 0xBBBB}, {7, 0x000B}});
    ASSERT_NE(comm.ReadEepromDirectory(), 0u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(comm.m_dwEepromImageId[i], 0x10002000u + 0x10001u * i) << i;
    EXPECT_EQ(comm.m_dwEepromImageId[8], 0xAAAA0008u);
    EXPECT_EQ(comm.m_dwEepromImageId[11], 0xBBBB000Bu);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(comm.m_wEepromPersonality[i], i % 4);
    EXPECT_EQ(comm.m_nCurrentEeprom, 11);
    EXPECT_EQ(comm.m_bUpdateEnable, 1u);
    EXPECT_EQ(comm.m_nOperationalMode, 3);
}

TEST_F(Decode, CurrentEepromOutsideOneToElevenIsZero) {
    for (uint16_t word : {uint16_t{0}, uint16_t{12}, uint16_t{0xFFFF}}) {
        comm.m_nCurrentEeprom = 5;
        pages[2] = Words({{43, word}});
        pages[3] = Words({});
        comm.ReadEepromDirectory();
        EXPECT_EQ(comm.m_nCurrentEeprom, 0) << word;
    }
}

TEST_F(Decode, Page3IsNotAskedWhenPage2Fails) {
    // Page 2 silent: ids 8..11 come from the words left in the page buffer.
    pages[2] = Words({{0, 0x1234}, {1, 0x5678}});
    comm.ReadConfigPage(2);
    pages.erase(2);
    pagesAsked.clear();
    EXPECT_EQ(comm.ReadEepromDirectory(), 0u);
    EXPECT_EQ(pagesAsked, (std::vector<uint8_t>{2}));
    EXPECT_EQ(comm.m_dwEepromImageId[8], 0u);  // the failed read zero-filled the page
}

TEST_F(Decode, OperationalStatusMode) {
    Bytes s(23, 0xFF);
    s[2] = 0x82;
    answers[CMD_READ_OPERATIONAL_STATUS] = s;
    EXPECT_NE(comm.ReadOperationalStatus(), 0u);
    EXPECT_EQ(comm.m_nOperationalMode, 2);
}

TEST_F(Decode, StatusRecordNeedsAll256Bytes) {
    answers[CMD_READ_STATUS_RECORD] = Bytes(256, 1);
    EXPECT_NE(comm.ReadStatusRecord(), 0u);
    answers[CMD_READ_STATUS_RECORD] = Bytes(255, 1);
    EXPECT_EQ(comm.ReadStatusRecord(), 0u);
}
}  // namespace
