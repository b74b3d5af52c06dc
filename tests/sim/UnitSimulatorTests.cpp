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
