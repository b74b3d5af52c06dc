// The simulator's logic without sockets: reply lengths, state, faults.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/UnitSimulator.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Frame(uint16_t cmd, Bytes payload = {}) {
    Bytes f = {0x68, 0x00, static_cast<uint8_t>(cmd), static_cast<uint8_t>(cmd >> 8),
               static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

struct Sim : ::testing::Test {
    CFakeClock clock;
    CUnitSimulator unit{clock};
    std::vector<SimReply> Send(const Bytes& frame) { return unit.Feed(frame.data(), frame.size()); }
    Bytes One(const Bytes& frame) {
        auto r = Send(frame);
        return r.size() == 1 ? r[0].bytes : Bytes{};
    }
};

TEST_F(Sim, EveryCommandHasItsReplyLength) {
    const std::pair<uint16_t, size_t> table[] = {{0x0000, 6},  {0x1000, 6},  {0x1001, 10}, {0x1002, 6},
                                                 {0x1003, 22}, {0x1008, 262}, {0x1020, 6},  {0x1022, 10},
                                                 {0x1023, 7},  {0x1024, 6},  {0x2000, 29}, {0x2002, 11},
                                                 {0x2003, 54}, {0x2009, 134}};
    for (auto [cmd, len] : table) {
        Bytes payload = cmd == 0x1022 || cmd == 0x1024 ? Bytes{0x10} : Bytes{};
        Bytes r = One(Frame(cmd, payload));
        ASSERT_EQ(r.size(), len) << std::hex << cmd;
        EXPECT_EQ(r[2] | r[3] << 8, cmd);
        EXPECT_EQ(static_cast<size_t>(r[4] | r[5] << 8), len - 6);
    }
    EXPECT_TRUE(Send(Frame(0x7777)).empty());  // unknown command: no reply
}

TEST_F(Sim, FramesSplitAcrossFeedsAndGarbageIsSkipped) {
    Bytes f = Frame(0x0000);
    Bytes noisy = {0x00, 0x13, 0x68, 0x01};
    noisy.insert(noisy.end(), f.begin(), f.end());
    EXPECT_TRUE(unit.Feed(noisy.data(), 5).empty());
    auto r = unit.Feed(noisy.data() + 5, noisy.size() - 5);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes, (Bytes{0x68, 0, 0, 0, 0, 0}));
}

TEST_F(Sim, EraseTakesItsTimeAndPagesLand) {
    unit.m_eraseMs = 500;
    EXPECT_EQ(One(Frame(0x1022, {0x31})).size(), 10u);
    EXPECT_EQ(One(Frame(0x1023))[6], 0x00);
    clock.Advance(499);
    EXPECT_EQ(One(Frame(0x1023))[6], 0x00);
    clock.Advance(1);
    EXPECT_EQ(One(Frame(0x1023))[6], 0x01);
    Bytes page = {0x31, 0x00, 0x02};
    page.resize(259, 0x5C);
    EXPECT_EQ(One(Frame(0x1021, page)).size(), 6u);
    ASSERT_EQ(unit.m_eeproms[9].size(), 768u);
    EXPECT_EQ(unit.m_eeproms[9][511], 0xFF);
    EXPECT_EQ(unit.m_eeproms[9][512], 0x5C);
    EXPECT_EQ(One(Frame(0x1024, {0x31})).size(), 6u);
    EXPECT_EQ(unit.m_currentEeprom, 9);
    Bytes p2 = One(Frame(0x2009, {2}));
    EXPECT_EQ(p2[6 + 2 * 43 + 1], 9);
    EXPECT_NE(unit.m_imageIds[9], 0u);
}

TEST_F(Sim, DspImageIsCommittedAtTheFinish) {
    One(Frame(0x1001, {0x13, 0x01, 0x01, 0, 0, 0}));
    One(Frame(0x1020, {0x01, 1, 2, 3}));
    One(Frame(0x1020, {0x01, 4}));
    EXPECT_TRUE(unit.m_dspImages[1].empty());
    One(Frame(0x1001, {0x13, 0xFF, 0x01, 0, 0, 0}));
    EXPECT_EQ(unit.m_dspImages[1], (Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(unit.m_dspImages[0].empty());
    EXPECT_EQ(unit.DspDigest(1), CUnitSimulator::Digest({1, 2, 3, 4}));
}

TEST_F(Sim, FaultsShapeTheReplies) {
    unit.m_faults.drop[0x0000] = 2;
    EXPECT_TRUE(Send(Frame(0x0000)).empty());
    EXPECT_TRUE(Send(Frame(0x0000)).empty());
    EXPECT_EQ(One(Frame(0x0000)).size(), 6u);
    unit.m_faults.shortLen[0x2002] = 4;
    EXPECT_EQ(One(Frame(0x2002)).size(), 4u);
    unit.m_faults.extra[0x2000] = 3;
    EXPECT_EQ(One(Frame(0x2000)).size(), 32u);
    unit.m_faults.delayMs[0x1003] = 700;
    EXPECT_EQ(Send(Frame(0x1003, Bytes(17, 0)))[0].delayMs, 700);
    unit.m_faults.failPages = 1;
    Bytes page = {0x10, 0, 0};
    page.resize(259, 1);
    EXPECT_TRUE(Send(Frame(0x1021, page)).empty());
    EXPECT_EQ(One(Frame(0x1021, page)).size(), 6u);
    EXPECT_EQ(unit.m_pageWrites, 1);
    unit.ResetConnection();
    unit.m_faults.closeAfterFrames = 1;
    auto r = Send(Frame(0x0000));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].closeAfter);
}

uint32_t Be32(const Bytes& r, size_t payloadOffset) {
    size_t i = 6 + payloadOffset;
    return static_cast<uint32_t>(r.at(i) << 24 | r.at(i + 1) << 16 | r.at(i + 2) << 8 | r.at(i + 3));
}
uint16_t Word(const Bytes& page, size_t word) {
    return static_cast<uint16_t>(page.at(6 + 2 * word) << 8 | page.at(6 + 2 * word + 1));
}

TEST_F(Sim, RecordsCarryTheUnitStateBigEndian) {
    unit.m_versions.serialPrefix = 0x12AB;
    unit.m_versions.dpFpga = 0xA1B2C3D4;
    unit.m_deviceId = "ABCDEFGHIJKLMNOP";
    unit.m_bDhcp = true;
    unit.m_ipAddress = 0x0A000063;
    unit.m_operationalMode = 2;
    unit.m_imageIds[7] = 0x11223344;
    unit.m_imageIds[11] = 0x55667788;
    unit.m_personalities[11] = 3;
    unit.m_currentEeprom = 11;

    Bytes v = One(Frame(0x2003));
    EXPECT_EQ(v.at(6 + 4), 0x12);
    EXPECT_EQ(v.at(6 + 5), 0xAB);
    EXPECT_EQ(v.at(6 + 7), 5);
    EXPECT_EQ(Be32(v, 8), unit.m_versions.dsp1);
    EXPECT_EQ(Be32(v, 12), unit.m_versions.dsp2);
    EXPECT_EQ(Be32(v, 16), unit.m_versions.fio);
    EXPECT_EQ(Be32(v, 20), unit.m_versions.bridge);
    EXPECT_EQ(Be32(v, 24), 0xA1B2C3D4u);
    EXPECT_EQ(v.at(6 + 29), 3);
    EXPECT_EQ(v.at(6 + 30) << 8 | v.at(6 + 31), 300);
    EXPECT_EQ(v.at(6 + 32), 1);

    Bytes id = One(Frame(0x1003, Bytes(17, 0)));
    EXPECT_EQ(std::string(id.begin() + 6, id.end()), "ABCDEFGHIJKLMNOP");

    Bytes net = One(Frame(0x2002));
    EXPECT_EQ(net.at(6) & 1, 1);
    EXPECT_EQ(Be32(net, 1), 0x0A000063u);

    Bytes p0 = One(Frame(0x2009, {0}));
    EXPECT_EQ(Word(p0, 34) & 2, 2);
    EXPECT_EQ(Word(p0, 38), 0x0A00);
    EXPECT_EQ(Word(p0, 39), 0x0063);

    Bytes p2 = One(Frame(0x2009, {2}));
    EXPECT_EQ(Word(p2, 27 + 2 * 7), 0x1122);
    EXPECT_EQ(Word(p2, 28 + 2 * 7), 0x3344);
    EXPECT_EQ(Word(p2, 43), 11);
    EXPECT_EQ(Word(p2, 44 + 11), 3);
    EXPECT_EQ(Word(p2, 60) & 1, 1);
    EXPECT_EQ(Word(p2, 63) & 0x7F, 2);

    Bytes p3 = One(Frame(0x2009, {3}));
    EXPECT_EQ(Word(p3, 6), 0x5566);
    EXPECT_EQ(Word(p3, 7), 0x7788);

    Bytes t = One(Frame(0x2009, {21}));
    std::string text;
    for (size_t w = 0; w < 32; ++w) text.push_back(static_cast<char>(Word(t, w) & 0xFF));
    EXPECT_EQ(text.substr(0, 8), "Korvanex");
    EXPECT_EQ(text.back(), ' ');

    EXPECT_EQ(One(Frame(0x2000)).at(6 + 2) & 0x7F, 2);
}

TEST_F(Sim, ModeAcceptsOneToThreeAndAcknowledgesTheRest) {
    const std::pair<uint8_t, int> table[] = {{3, 3}, {0, 3}, {4, 3}, {0xFF, 3}, {1, 1}, {2, 2}};
    for (auto [sent, expected] : table) {
        EXPECT_EQ(One(Frame(0x1000, {sent})).size(), 6u) << int(sent);
        EXPECT_EQ(unit.m_operationalMode, expected) << int(sent);
    }
    unit.m_modeMs = 40;
    EXPECT_EQ(Send(Frame(0x1000, {1}))[0].delayMs, 40);
}

TEST_F(Sim, EraseSelectAndTheDirectoryAgree) {
    // An unknown select code erases nothing.
    EXPECT_EQ(Be32(One(Frame(0x1022, {0x20})), 0), 0xFFFFFFFFu);
    EXPECT_FALSE(unit.EraseInProgress());
    EXPECT_EQ(unit.m_eeproms[0].size(), 4096u);

    unit.m_operationalMode = 2;
    EXPECT_EQ(Be32(One(Frame(0x1022, {0x11})), 0), 0u);  // EEPROM_1
    Bytes p2 = One(Frame(0x2009, {2}));
    EXPECT_EQ(Word(p2, 27 + 2), 0);  // image id entry 1 cleared
    EXPECT_EQ(Word(p2, 44 + 1), 0);  // personality "Unused"
    clock.Advance(unit.m_eraseMs);
    Bytes page = {0x11, 0, 0};
    page.resize(259, 0x42);
    One(Frame(0x1021, page));
    One(Frame(0x1024, {0x11}));
    EXPECT_EQ(unit.m_currentEeprom, 1);
    EXPECT_EQ(unit.m_personalities[1], 2);  // takes the running mode
    EXPECT_EQ(unit.m_eeproms[1], Bytes(256, 0x42));
    uint32_t id1 = unit.m_imageIds[1];
    EXPECT_NE(id1, 0u);

    // Selecting another programmed EEPROM loads its personality as the mode.
    One(Frame(0x1024, {0x12}));
    EXPECT_EQ(unit.m_operationalMode, 3);
    EXPECT_EQ(One(Frame(0x2003)).at(6 + 32), 3);
    p2 = One(Frame(0x2009, {2}));
    EXPECT_EQ(Word(p2, 43), 2);
    EXPECT_EQ(static_cast<uint32_t>(Word(p2, 27 + 2) << 16 | Word(p2, 28 + 2)), id1);

    // A second image of other bytes gets another id.
    One(Frame(0x1022, {0x11}));
    clock.Advance(unit.m_eraseMs);
    page[3] = 0x43;
    One(Frame(0x1021, page));
    One(Frame(0x1024, {0x11}));
    EXPECT_NE(unit.m_imageIds[1], id1);
}

TEST_F(Sim, DspBlocksOutsideAnUploadAreNotCommitted) {
    One(Frame(0x1020, {0x00, 7, 7}));                    // no upload open
    One(Frame(0x1001, {0x13, 0xFF, 0x00, 0, 0, 0}));     // finish without start
    EXPECT_TRUE(unit.m_dspImages[0].empty());
    One(Frame(0x1001, {0x13, 0x01, 0x00, 0, 0, 0}));
    One(Frame(0x1020, {0x01, 9}));                       // block for the other DSP
    One(Frame(0x1020, {0x00, 5, 6}));
    One(Frame(0x1001, {0x13, 0xFF, 0x01, 0, 0, 0}));     // finish for the other DSP
    EXPECT_TRUE(unit.m_dspImages[1].empty());
    One(Frame(0x1001, {0x13, 0xFF, 0x00, 0, 0, 0}));
    EXPECT_EQ(unit.m_dspImages[0], (Bytes{5, 6}));
}

TEST_F(Sim, CommitsCountStateChangesButNotPages) {
    uint64_t before = unit.CommitCount();
    Bytes page = {0x10, 0, 1};
    page.resize(259, 0);
    One(Frame(0x1021, page));
    One(Frame(0x0000));
    One(Frame(0x1000, {9}));
    EXPECT_EQ(unit.CommitCount(), before);
    One(Frame(0x1024, {0x10}));
    EXPECT_EQ(unit.CommitCount(), before + 1);
    One(Frame(0x1002, {6, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(unit.CommitCount(), before + 2);
    EXPECT_EQ(unit.m_turnOffs, (Bytes{6}));
}

TEST_F(Sim, DropAlwaysAndResetOnClose) {
    unit.m_faults.drop[0x2000] = -1;
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(Send(Frame(0x2000)).empty());
    EXPECT_EQ(unit.m_commandCounts[0x2000], 5);
    unit.ResetConnection();  // frames count per connection
    unit.m_faults.closeAfterFrames = 2;
    unit.m_faults.resetOnClose = true;
    Bytes two = Frame(0x0000);
    Bytes second = Frame(0x0000);
    two.insert(two.end(), second.begin(), second.end());
    two.insert(two.end(), second.begin(), second.end());  // after the close: never answered
    auto r = unit.Feed(two.data(), two.size());
    ASSERT_EQ(r.size(), 2u);
    EXPECT_FALSE(r[0].closeAfter);
    EXPECT_TRUE(r[1].closeAfter);
    EXPECT_TRUE(r[1].resetOnClose);
}

TEST_F(Sim, StateSurvivesSaveAndLoad) {
    unit.m_eeproms[4] = {9, 8, 7};
    unit.m_operationalMode = 3;
    unit.m_versions.dsp2 = 0xCAFEF00D;
    std::string path = "/tmp/tr52k-sim-state-" + std::to_string(::getpid()) + ".json";
    std::string error;
    ASSERT_TRUE(unit.SaveState(path, &error)) << error;
    CUnitSimulator other(clock);
    ASSERT_TRUE(other.LoadState(path, &error)) << error;
    EXPECT_EQ(other.m_eeproms[4], (Bytes{9, 8, 7}));
    EXPECT_EQ(other.m_operationalMode, 3);
    EXPECT_EQ(other.m_versions.dsp2, 0xCAFEF00Du);
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs("{ not json", f);
    std::fclose(f);
    EXPECT_FALSE(other.LoadState(path, &error));
    std::remove(path.c_str());
}
}  // namespace

TEST(SimRules, TextsParseWholeOrNotAtAll) {
    SimRule r;
    std::string why;
    ASSERT_TRUE(ParseSimRule("delay:0x1021:10500@3*1", &r, &why)) << why;
    EXPECT_EQ(r.kind, SimRule::EKind::Delay);
    EXPECT_EQ(r.command, 0x1021);
    EXPECT_EQ(r.value, 10500);
    EXPECT_FALSE(r.Covers(2));
    EXPECT_TRUE(r.Covers(3));
    EXPECT_FALSE(r.Covers(4));
    ASSERT_TRUE(ParseSimRule("exit:4128@7", &r, &why));
    EXPECT_TRUE(r.Covers(7));
    EXPECT_TRUE(r.Covers(70000));
    for (const char* bad : {"delay:0x1021", "drop:0x1021:5", "drip:0x1021", "drop:0x10000", "drop:0x1021@0",
                            "drop:0x1021*0", "drop:0x1021@3x", "short:0x1021:-1", "drop", ""})
        EXPECT_FALSE(ParseSimRule(bad, &r, &why)) << bad;
}

TEST_F(Sim, RulesHitTheirOccurrencesOnly) {
    SimRule r;
    ParseSimRule("ignore:0x1021@2*1", &r, nullptr);
    unit.m_faults.rules.push_back(r);
    ParseSimRule("garbage:0x0000@2*1", &r, nullptr);
    unit.m_faults.rules.push_back(r);
    ParseSimRule("reset:0x2002@2", &r, nullptr);
    unit.m_faults.rules.push_back(r);
    unit.m_eraseMs = 0;
    One(Frame(0x1022, {0x10}));
    Bytes page(259, 0x5A);
    page[0] = 0x10;
    page[1] = page[2] = 0;
    EXPECT_EQ(One(Frame(0x1021, page)).size(), 6u);
    page[2] = 1;
    EXPECT_TRUE(Send(Frame(0x1021, page)).empty());  // lost: not written
    EXPECT_EQ(unit.m_eeproms[0].size(), 256u);
    EXPECT_EQ(One(Frame(0x0000)), (Bytes{0x68, 0, 0, 0, 0, 0}));
    Bytes junk = One(Frame(0x0000));
    EXPECT_EQ(junk.size(), 6u);
    EXPECT_NE(junk[0], 0x68);
    EXPECT_EQ(One(Frame(0x0000))[0], 0x68);
    EXPECT_EQ(One(Frame(0x2002)).size(), 11u);
    auto cut = Send(Frame(0x2002));
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_TRUE(cut[0].closeAfter && cut[0].resetOnClose && cut[0].bytes.empty());
}
