// The simulator's logic without sockets: framing, one consistent unit state
// across commands, the parser of the fault rules and the older options as
// rules.
#include <gtest/gtest.h>

#include "sim/UnitSimulator.h"
#include "support/Frames.h"

namespace {
using Bytes = std::vector<uint8_t>;

uint32_t Be32(const Bytes& reply, size_t word) {  // from a 16-bit word of the payload on
    const auto at = [&](size_t i) { return static_cast<uint32_t>(reply.at(6 + 2 * word + i)); };
    return at(0) << 24 | at(1) << 16 | at(2) << 8 | at(3);
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

TEST_F(Sim, RepliesHaveTheirLengthsAndFramesSurviveNoiseAndSplits) {
    const std::pair<uint16_t, size_t> table[] = {{0x0000, 6},  {0x1000, 6},  {0x1001, 10}, {0x1002, 6},   {0x1003, 22},
                                                 {0x1008, 262}, {0x1020, 6}, {0x1022, 10}, {0x1023, 7},   {0x1024, 6},
                                                 {0x2000, 29}, {0x2002, 11}, {0x2003, 54}, {0x2009, 134}};
    for (auto [cmd, len] : table) {
        SCOPED_TRACE(cmd);
        Bytes r = One(Frame(cmd, cmd == 0x1022 || cmd == 0x1024 ? Bytes{0x10} : Bytes{}));
        ASSERT_EQ(r.size(), len);
        EXPECT_EQ(r[2] | r[3] << 8, cmd);
        EXPECT_EQ(static_cast<size_t>(r[4] | r[5] << 8), len - 6);
    }
    EXPECT_TRUE(Send(Frame(0x7777)).empty());  // unknown command: no reply
    Bytes noisy = {0x00, 0x13, 0x68, 0x01}, ping = Frame(0x0000);
    noisy.insert(noisy.end(), ping.begin(), ping.end());
    EXPECT_TRUE(unit.Feed(noisy.data(), 5).empty());
    const auto r = unit.Feed(noisy.data() + 5, noisy.size() - 5);
    EXPECT_TRUE(r.size() == 1 && r[0].bytes == ping);
}

TEST_F(Sim, EraseProgramAndSelectKeepDirectoryModeAndImagesInStep) {
    EXPECT_EQ(Be32(One(Frame(0x1022, {0x20})), 0), 0xFFFFFFFFu);  // unknown select code: nothing erased
    unit.m_eraseMs = 500;
    unit.m_operationalMode = 2;
    const uint64_t commits = unit.CommitCount();
    EXPECT_EQ(Be32(One(Frame(0x1022, {0x31})), 0), 0u);  // EEPROM_9
    EXPECT_EQ(Be32(One(Frame(0x2009, {3})), 2), 0u);      // its image id is cleared at once
    clock.Advance(499);
    EXPECT_EQ(One(Frame(0x1023))[6], 0x00);
    clock.Advance(1);
    EXPECT_EQ(One(Frame(0x1023))[6], 0x01);
    Bytes page = {0x31, 0, 2};  // the third page only: the gap stays erased
    page.resize(259, 0x5C);
    One(Frame(0x1021, page));
    EXPECT_EQ(unit.CommitCount(), commits + 1);  // pages alone do not rewrite the state file
    One(Frame(0x1024, {0x31}));
    Bytes expected(512, 0xFF);
    expected.resize(768, 0x5C);
    EXPECT_EQ(unit.m_eeproms[9], expected);
    EXPECT_NE(unit.m_imageIds[9], 0u);
    EXPECT_EQ(Be32(One(Frame(0x2009, {3})), 2), unit.m_imageIds[9]);
    const Bytes p2 = One(Frame(0x2009, {2}));
    EXPECT_EQ(p2.at(6 + 2 * 43 + 1), 9);      // current EEPROM
    EXPECT_EQ(p2.at(6 + 2 * (44 + 9) + 1), 2);  // a fresh image takes the running mode as personality
    // Selecting another programmed EEPROM makes its personality the mode.
    One(Frame(0x1024, {0x12}));
    EXPECT_EQ(unit.m_operationalMode, 3);
    EXPECT_EQ(One(Frame(0x2003)).at(6 + 32), 3);  // the personality the unit reports
}

TEST_F(Sim, DspImageIsCommittedOnlyByTheFinishOfItsOwnUpload) {
    One(Frame(0x1020, {0x00, 7, 7}));                 // no upload open
    One(Frame(0x1001, {0x13, 0xFF, 0x00, 0, 0, 0}));  // finish without start
    One(Frame(0x1001, {0x13, 0x01, 0x01, 0, 0, 0}));
    One(Frame(0x1020, {0x01, 1, 2, 3}));
    One(Frame(0x1020, {0x00, 9}));                    // a block for the other DSP
    One(Frame(0x1001, {0x13, 0xFF, 0x00, 0, 0, 0}));  // the other DSP's finish
    EXPECT_TRUE(unit.m_dspImages[0].empty() && unit.m_dspImages[1].empty());
    One(Frame(0x1020, {0x01, 4}));
    One(Frame(0x1001, {0x13, 0xFF, 0x01, 0, 0, 0}));
    EXPECT_EQ(unit.m_dspImages[1], (Bytes{1, 2, 3, 4}));
    // Modes 1 to 3 are taken; other numbers are acknowledged and change nothing.
    const std::pair<uint8_t, int> modes[] = {{3, 3}, {0, 3}, {4, 3}, {1, 1}};
    for (auto [sent, mode] : modes) {
        EXPECT_EQ(One(Frame(0x1000, {sent})).size(), 6u);
        EXPECT_EQ(unit.m_operationalMode, mode) << int(sent);
    }
}

// How rules act on the wire is what the fault campaign checks, case by case.
TEST(SimRules, TextsParseWholeOrNotAtAll) {
    SimRule r;
    std::string why;
    ASSERT_TRUE(ParseSimRule("delay:0x1021:10500@3*1", &r, &why)) << why;
    EXPECT_TRUE(r.kind == SimRule::EKind::Delay && r.command == 0x1021 && r.value == 10500);
    EXPECT_TRUE(!r.Covers(2) && r.Covers(3) && !r.Covers(4));
    ASSERT_TRUE(ParseSimRule("exit:4128@7", &r, &why)) << why;
    EXPECT_TRUE(r.kind == SimRule::EKind::Exit && r.command == 0x1020);
    EXPECT_TRUE(!r.Covers(6) && r.Covers(7) && r.Covers(70000));
    for (const char* bad : {"delay:0x1021", "drop:0x1021:5", "drip:0x1021", "drop:0x10000", "drop:0x1021@0",
                            "drop:0x1021*0", "drop:0x1021@3x", "short:0x1021:-1", "drop", ""})
        EXPECT_FALSE(ParseSimRule(bad, &r, &why)) << bad;
}

// Each older option acts as it did before it became a rule: on pings, the
// first two replies.
TEST_F(Sim, OlderOptionsActAsRules) {
    struct Row {
        const char* option;
        const char* text;
        size_t first, second;  // reply bytes; 0: none
        int delayMs;
    };
    const Row rows[] = {{"drop", "0x0000:1", 0, 6, 0}, {"drop", "0x0000", 0, 0, 0},    {"drop", "0x0000:0", 6, 6, 0},
                        {"delay", "0:30", 6, 6, 30},   {"short", "0x0000:3", 3, 3, 0}, {"extra", "0x0000:2", 8, 8, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.option) + " " + row.text);
        CUnitSimulator fresh{clock};
        std::string why;
        ASSERT_TRUE(SimOptionRule(row.option, row.text, &fresh.m_faultRules.emplace_back(), &why)) << why;
        const Bytes ping = Frame(0x0000);
        for (size_t expected : {row.first, row.second}) {
            const auto r = fresh.Feed(ping.data(), ping.size());
            ASSERT_EQ(r.size(), expected ? 1u : 0u);
            if (!expected) continue;
            EXPECT_EQ(r[0].bytes.size(), expected);
            EXPECT_EQ(r[0].delayMs, row.delayMs);
            if (expected == 8) {
                EXPECT_EQ(r[0].bytes[7], 0xE1);  // the stray bytes count up from 0xE0
            }
        }
    }
    SimRule r;
    std::string why;
    for (const auto& [option, text] : {std::pair{"delay", "0x0000"}, {"drop", "0x10000"}, {"short", "1:x"}, {"gone", "1:1"}})
        EXPECT_FALSE(SimOptionRule(option, text, &r, &why)) << option << " " << text;
    EXPECT_EQ(why, "bad --gone value '1:1'");

    // Close after the second frame of every connection (reset or in order);
    // the next page write is lost: not written, not answered.
    for (bool reset : {false, true}) {
        CUnitSimulator fresh{clock};
        fresh.m_faultRules = {CloseAfterFrames(2, reset), LostPageWrites(1)};
        for (int connection = 0; connection < 2; ++connection) {
            fresh.ResetConnection();
            const Bytes first = Frame(0x0000), second = Frame(0x2000);
            const auto before = fresh.Feed(first.data(), first.size()), last = fresh.Feed(second.data(), second.size());
            ASSERT_TRUE(before.size() == 1 && last.size() == 1);
            EXPECT_FALSE(before[0].closeAfter);
            EXPECT_TRUE(last[0].closeAfter && last[0].resetOnClose == reset && last[0].bytes.size() == 29);
        }
        Bytes page = {0x10, 0, 0};
        page.resize(259, 0x11);
        fresh.ResetConnection();
        EXPECT_TRUE(fresh.Feed(Frame(0x1021, page).data(), 265).empty());
        EXPECT_EQ(fresh.m_pageWrites, 0);
        fresh.ResetConnection();
        EXPECT_EQ(fresh.Feed(Frame(0x1021, page).data(), 265).size(), 1u);
        EXPECT_EQ(fresh.m_pageWrites, 1);
    }
}
}  // namespace
