// EEPROM update against a simulated unit: padding, addressing, tick
// structure, retries, held target, refusals, completion chain.
#include <gtest/gtest.h>

#include "UpdateTestSupport.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"
#include "update/EepromUpdate.h"

using namespace win32;

namespace {
struct Eeprom : ::testing::Test {
    CSimulatedUnit sim;
    CRecordingView view;
    CTickerFlags flags;
    CEepromUpdate update{sim.comm, view, flags, sim.clock};
    CTempDir dir;
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
    std::vector<std::vector<uint8_t>> pageFrames;

    Eeprom() {
        auto feed = sim.link.m_onWrite;
        sim.link.m_onWrite = [this, feed](const std::vector<uint8_t>& f) {
            if ((f[2] | f[3] << 8) == CMD_EEPROM_PAGE_WRITE) pageFrames.push_back(f);
            feed(f);
        };
    }
    void Load(int index, size_t size, const std::string& name = "tr52K_dp.bin") {
        view.checkedEeprom = index;
        view.texts[EUpdateText::EepromFile] = dir.File(name, Pattern(size));
        update.OnBnClickedEepromLoad();
    }
    // Runs the ticks the ticker would send until the update ends.
    void RunTicks(int maxTicks = 1000) {
        for (int i = 0; i < maxTicks && update.UpdateRunning(); ++i) {
            if (flags.g_bEepromEraseActive) {
                sim.clock.Advance(50);
                update.OnEepromEraseTick();
            } else if (flags.g_bEepromPageProgramActive) {
                update.OnEepromPageTick();
            }
        }
    }
};

TEST_F(Eeprom, ImageIsPaddedToWholePagesAndArrivesByteExact) {
    const std::pair<size_t, uint32_t> sizes[] = {{1000, 1024}, {512, 768}, {0, 256}};
    for (auto [fileSize, imageSize] : sizes) {
        Load(5, fileSize);
        ASSERT_TRUE(update.UpdateRunning()) << fileSize;
        EXPECT_EQ(update.m_nBytesToWrite, imageSize);
        EXPECT_EQ(view.bars[EProgressBar::PageProgram].upper, static_cast<int32_t>(imageSize / 256));
        EXPECT_EQ(view.texts[EUpdateText::BytesToWrite], WithThousandsCommas(imageSize));
        RunTicks();
        std::vector<uint8_t> expected = Pattern(fileSize);
        expected.resize(imageSize, 0xFF);
        EXPECT_EQ(sim.unit.m_eeproms[5], expected) << fileSize;
        EXPECT_TRUE(update.m_bLastUpdateComplete);
    }
    EXPECT_EQ(view.texts[EUpdateText::BytesToWrite], "256");
    EXPECT_EQ(view.busy, 0);
    EXPECT_EQ(view.boxes.back().text, "DP FPGA Configuration EEPROM Update has completed.");
    EXPECT_EQ(view.boxes.back().caption.rfind("Elapsed Time: ", 0), 0u);
}

TEST_F(Eeprom, PageAddressesAndSelectCode) {
    Load(9, 65536 + 10);
    RunTicks();
    ASSERT_GE(pageFrames.size(), 257u);
    EXPECT_EQ(pageFrames[2][6], 0x31);
    EXPECT_EQ(pageFrames[2][7], 0x00);
    EXPECT_EQ(pageFrames[2][8], 0x02);
    EXPECT_EQ(pageFrames[256][7], 0x01);
    EXPECT_EQ(pageFrames[256][8], 0x00);
    EXPECT_EQ(sim.unit.m_currentEeprom, 9);
}

TEST_F(Eeprom, EightyPagesTakeTwoPageTicks) {
    Load(1, 80 * 256 - 1);  // 79 full pages and a tail: 80 pages
    while (flags.g_bEepromEraseActive) {
        sim.clock.Advance(50);
        update.OnEepromEraseTick();
    }
    ASSERT_TRUE(flags.g_bEepromPageProgramActive);
    EXPECT_EQ(view.bars[EProgressBar::BulkErase].pos, 255);
    update.OnEepromPageTick();
    EXPECT_EQ(pageFrames.size(), 64u);
    EXPECT_EQ(view.texts[EUpdateText::BytesWritten], "16,384");
    EXPECT_TRUE(flags.g_bEepromPageProgramActive);
    update.OnEepromPageTick();
    EXPECT_EQ(pageFrames.size(), 80u);
    EXPECT_FALSE(flags.g_bEepromPageProgramActive);
    EXPECT_EQ(view.texts[EUpdateText::BytesWritten], "20,480");
    EXPECT_FALSE(update.UpdateRunning());
}

TEST_F(Eeprom, PathIsCheckedBeforeTheErase) {
    for (const char* name : {"TR52K_dp.bin", "dp.bin"}) {
        view.boxes.clear();
        Load(2, 100, name);
        ASSERT_EQ(view.boxes.size(), 1u);
        EXPECT_EQ(view.boxes[0].text, "File chosen is not a valid file for the Dual Purpose FPGA");
        EXPECT_EQ(view.boxes[0].caption, "Invalid Flash File");
    }
    view.checkedEeprom = 2;
    view.texts[EUpdateText::EepromFile] = (dir.path / "tr52K_missing.bin").string();
    update.OnBnClickedEepromLoad();
    EXPECT_EQ(sim.Count(CMD_EEPROM_BULK_ERASE), 0);
    EXPECT_FALSE(sim.unit.m_eeproms[2].empty());  // the EEPROM keeps its image
    EXPECT_FALSE(flags.g_bEepromEraseActive);
    EXPECT_EQ(view.busy, 0);
}

TEST_F(Eeprom, FailedEraseEndsTheUpdate) {
    sim.unit.m_faults.drop[CMD_EEPROM_BULK_ERASE] = 1;
    Load(0, 100);
    EXPECT_FALSE(update.UpdateRunning());
    EXPECT_EQ(view.boxes.back().text, "BulkEraseFPGA_ConfigEEPROM() failed.");
    EXPECT_EQ(view.boxes.back().caption, "Serial Port Error");
    EXPECT_NE(trace.Text().find("BulkEraseFPGA_ConfigEEPROM() failed.\r\n"), std::string::npos);
}

TEST_F(Eeprom, PageFailingThreeTimesIsWrittenOnce) {
    Load(3, 3 * 256);
    while (flags.g_bEepromEraseActive) {
        sim.clock.Advance(50);
        update.OnEepromEraseTick();
    }
    sim.unit.m_faults.failPages = 3;
    RunTicks();
    EXPECT_TRUE(update.m_bLastUpdateComplete);
    EXPECT_EQ(sim.unit.m_pageWrites, 4);
    EXPECT_EQ(pageFrames.size(), 7u);
    EXPECT_EQ(pageFrames[0][8], 0x00);
    EXPECT_EQ(pageFrames[3][8], 0x00);  // the same address again
    std::vector<uint8_t> expected = Pattern(768);
    expected.resize(1024, 0xFF);
    EXPECT_EQ(sim.unit.m_eeproms[3], expected);
}

TEST_F(Eeprom, PageThatNeverSucceedsStopsTheUpdate) {
    Load(3, 256);
    sim.unit.m_faults.failPages = 1000;
    RunTicks();
    EXPECT_FALSE(update.UpdateRunning());
    EXPECT_FALSE(update.m_bLastUpdateComplete);
    EXPECT_EQ(static_cast<int>(pageFrames.size()), MAX_PAGE_FAILURES);
    EXPECT_EQ(view.boxes.back().text, "WriteFPGA_ConfigEEPROM_Page() failed.");
    EXPECT_EQ(view.boxes.back().caption, "Serial Port Error");
    EXPECT_EQ(sim.Count(CMD_EEPROM_SELECT), 0);
    EXPECT_FALSE(flags.g_bEepromEraseActive || flags.g_bEepromPageProgramActive);
    EXPECT_EQ(view.busy, 0);
}

TEST_F(Eeprom, TargetIsHeldWhenTheSelectionMoves) {
    Load(4, 2 * 256);
    update.OnBnClickedEeprom(6);  // only moves the mark
    EXPECT_EQ(view.shownSelected, 6);
    update.OnBnDoubleClickedEeprom(6);
    EXPECT_EQ(view.boxes.back().caption, "EEPROM Update Busy");
    view.checkedEeprom = 6;
    update.OnBnClickedEepromLoad();  // a second Load is refused
    EXPECT_EQ(view.boxes.back().caption, "EEPROM Update Busy");
    RunTicks();
    EXPECT_EQ(sim.Count(CMD_EEPROM_BULK_ERASE), 1);
    EXPECT_EQ(sim.Count(CMD_EEPROM_SELECT), 1);
    for (const auto& f : pageFrames) EXPECT_EQ(f[6], 0x14);
    EXPECT_EQ(sim.unit.m_currentEeprom, 4);
    EXPECT_TRUE(sim.unit.m_eeproms[6].empty());
}

TEST_F(Eeprom, CompletionRestoresTheSavedModeBelowFour) {
    sim.comm.m_nOperationalMode = 2;
    Load(0, 256);
    RunTicks();
    EXPECT_EQ(sim.Count(CMD_SET_OPERATIONAL_MODE), 1);
    EXPECT_EQ(sim.unit.m_operationalMode, 2);
    EXPECT_EQ(view.texts[EUpdateText::BytesWritten], "512");

    sim.comm.m_nOperationalMode = 4;
    Load(0, 256);
    view.texts[EUpdateText::BytesWritten] = "untouched";
    RunTicks();
    EXPECT_EQ(sim.Count(CMD_SET_OPERATIONAL_MODE), 1);  // no second mode command
    EXPECT_EQ(view.texts[EUpdateText::BytesWritten], "untouched");
    EXPECT_EQ(view.boxes.back().text, "DP FPGA Configuration EEPROM Update has completed.");
}

TEST_F(Eeprom, StaleEraseCompleteWithAFailedReadStopsBeforeAnyPage) {
    sim.comm.m_bEraseComplete = 1;  // left from an earlier update
    Load(0, 256);
    sim.unit.m_faults.drop[CMD_CONTINUOUS_STATUS_READ] = 1;
    update.OnEepromEraseTick();
    EXPECT_FALSE(update.UpdateRunning());
    EXPECT_EQ(view.boxes.back().text, "WriteFPGA_ConfigEEPROM_Page() failed.");
    EXPECT_TRUE(pageFrames.empty());
}

TEST_F(Eeprom, SilentUnitDuringEraseEndsTheUpdate) {
    Load(0, 256);
    sim.unit.m_faults.drop[CMD_CONTINUOUS_STATUS_READ] = -1;
    RunTicks();
    EXPECT_FALSE(update.UpdateRunning());
    EXPECT_EQ(sim.Count(CMD_CONTINUOUS_STATUS_READ), MAX_STATUS_FAILURES);
    EXPECT_EQ(view.boxes.back().caption, "Serial Port Error");
}

TEST_F(Eeprom, ImagesBeyondSixteenMebibytesAreRefused) {
    view.checkedEeprom = 0;
    std::string path = (dir.path / "tr52K_huge.bin").string();
    {
        std::ofstream f(path, std::ios::binary);
        f.seekp((16 << 20) - 1);
        f.put(0);
    }
    view.texts[EUpdateText::EepromFile] = path;
    update.OnBnClickedEepromLoad();
    EXPECT_FALSE(update.UpdateRunning());
    EXPECT_EQ(view.boxes.back().caption, "File Too Big Error");
    EXPECT_TRUE(sim.commands.empty());
}

TEST_F(Eeprom, DoubleClickSelectsEvenWhenTheCommandFails) {
    update.OnBnDoubleClickedEeprom(3);
    EXPECT_EQ(sim.unit.m_currentEeprom, 3);
    EXPECT_EQ(view.shownSelected, 3);
    EXPECT_EQ(sim.Count(CMD_READ_CONFIG_PAGE), 2);
    sim.unit.m_faults.drop[CMD_EEPROM_SELECT] = 1;
    update.OnBnDoubleClickedEeprom(8);
    EXPECT_EQ(view.shownSelected, 8);
    EXPECT_EQ(sim.Count(CMD_READ_CONFIG_PAGE), 2);  // no directory read after a failure
}

TEST_F(Eeprom, ExtraBytesAreReportedOnlyDuringTheErase) {
    Load(0, 256);
    sim.link.QueueReply({1, 2, 3});
    update.OnExtraBytesCheck(WM_EEPROM_ERASE_TICK);
    EXPECT_NE(trace.Text().find("Extra bytes found after a ContinuousStatus Read 0x1023 Command message:\r\n"),
              std::string::npos);
    trace.Clear();
    update.OnExtraBytesCheck(0x999);
    EXPECT_TRUE(trace.Writes().empty());  // nothing waiting this time
    flags.g_bEepromEraseActive = 0;
    sim.link.QueueReply({1});
    update.OnExtraBytesCheck(WM_EEPROM_PAGE_TICK);
    EXPECT_TRUE(trace.Writes().empty());
}

TEST(Commas, GroupsOfThree) {
    EXPECT_EQ(WithThousandsCommas(0), "0");
    EXPECT_EQ(WithThousandsCommas(999), "999");
    EXPECT_EQ(WithThousandsCommas(1024), "1,024");
    EXPECT_EQ(WithThousandsCommas(16777216), "16,777,216");
}
}  // namespace

SimRule Rule(const char* text) {
    SimRule r;
    EXPECT_TRUE(ParseSimRule(text, &r, nullptr)) << text;
    return r;
}

TEST_F(Eeprom, GarbledEraseStatusDoesNotStartProgramming) {
    sim.unit.m_eraseMs = 1000;
    sim.unit.m_faults.rules.push_back(Rule("garbage:0x1023@1*3"));  // status byte 0xEB: bit 0 set
    Load(2, 1000);
    int64_t firstPageAt = -1;
    auto feed = sim.link.m_onWrite;
    sim.link.m_onWrite = [&](const std::vector<uint8_t>& f) {
        if ((f[2] | f[3] << 8) == CMD_EEPROM_PAGE_WRITE && firstPageAt < 0) firstPageAt = sim.clock.NowMs();
        feed(f);
    };
    const int64_t erased = sim.clock.NowMs() + 1000;
    RunTicks();
    EXPECT_GE(firstPageAt, erased);
    EXPECT_TRUE(update.m_bLastUpdateComplete);
    EXPECT_NE(trace.Text().find("***** Reply to 0x1023 is not its frame: 0x"), std::string::npos);
}

TEST_F(Eeprom, StrayOrGarbledPageAcknowledgementsAreRewrittenAndRealigned) {
    // The second write's reply carries stray bytes; the third is garbled.
    for (auto [fault, nth] : {std::pair{"extra:0x1021:5@%d*1", 2}, std::pair{"garbage:0x1021@%d*1", 3}}) {
        const int from = sim.unit.m_commandCounts[CMD_EEPROM_PAGE_WRITE] + nth;
        sim.unit.m_faults.rules = {Rule(Format(fault, from).c_str())};
        pageFrames.clear();
        Load(4, 2048);  // 8 pages
        RunTicks();
        std::vector<uint8_t> expected = Pattern(2048);
        expected.resize(2304, 0xFF);
        EXPECT_EQ(sim.unit.m_eeproms[4], expected) << fault;
        EXPECT_TRUE(update.m_bLastUpdateComplete) << fault;
        EXPECT_EQ(pageFrames.size(), 10u) << fault;  // one page written again, then in step
        EXPECT_EQ(pageFrames[2], pageFrames[3]) << fault;
        EXPECT_NE(trace.Text().find("***** Reply to 0x1021 is not its frame: 0x"), std::string::npos);
        EXPECT_EQ(sim.unit.m_currentEeprom, 4) << fault;
    }
}

TEST_F(Eeprom, LeftoverReplyIsNotTakenForTheSelectsAcknowledgement) {
    // Six stray bytes after the last page's reply: taken for the select's
    // answer they would shift the directory read after it.
    sim.unit.m_faults.rules = {Rule("extra:0x1021:6@4*1")};
    Load(7, 1000);  // four pages
    RunTicks();
    EXPECT_TRUE(update.m_bLastUpdateComplete);
    EXPECT_EQ(sim.unit.m_currentEeprom, 7);
    EXPECT_EQ(sim.comm.m_nCurrentEeprom, 7);
    EXPECT_EQ(sim.comm.m_dwEepromImageId[7], sim.unit.m_imageIds[7]);
}
