// EEPROM update against a simulated unit: padding, refusals, retries and
// realignment after faulty replies, held target, completion chain.
#include <gtest/gtest.h>

#include <new>
#if defined(__linux__)
#include <dlfcn.h>
#endif

#include "platform/Sha256.h"

#include "UpdateTestSupport.h"
#include "ui/DialogUpdates.h"

namespace {
thread_local size_t g_failAllocationFrom = 0;
}  // namespace

#if defined(__linux__)
// Runs out of memory on request: the first allocation of at least
// g_failAllocationFrom bytes throws; every other goes to the allocator that
// would have served it (the sanitizer's, in the checked build).
void* operator new(std::size_t size) {
    if (g_failAllocationFrom && size >= g_failAllocationFrom) {
        g_failAllocationFrom = 0;
        throw std::bad_alloc();
    }
    using New = void* (*)(std::size_t);
    static const New next = reinterpret_cast<New>(dlsym(RTLD_NEXT, "_Znwm"));
    return next(size);
}
#endif

namespace {
struct Rig {
    CSimulatedUnit sim;
    CRecordingView view;
    CTickerFlags flags;
    CDialogEepromUpdate update{sim.comm, view, flags, sim.clock};
    explicit Rig(const std::string& rule = "") : sim(rule) {}
    void Load(int index, const std::string& path) {
        view.checkedEeprom = index;
        view.texts[EUpdateText::EepromFile] = path;
        update.OnBnClickedEepromLoad();
    }
    // Sends what the ticker would, each tick followed by its check, until the update ends.
    void RunTicks() {
        for (int i = 0; i < 1000 && update.UpdateRunning(); ++i) {
            const bool erase = flags.g_bEepromEraseActive;
            sim.clock.Advance(50);
            erase ? update.OnEepromEraseTick() : update.OnEepromPageTick();
            update.OnExtraBytesCheck(erase ? WM_EEPROM_ERASE_TICK : WM_EEPROM_PAGE_TICK);
        }
    }
};

TEST(Eeprom, ImageArrivesByteExactOnItsHeldTargetDespiteFaultyReplies) {
    struct Case { const char *rule, *trace; int target; size_t fileSize, imageSize, pages; int rewritten, mode; };
    const char* const kPage = "***** Reply to 0x1021 is not its frame: 0x";
    const Case cases[] = {
        // Padded with 0xFF to whole pages, a whole last page included; addresses past bit 16.
        {"", "", 5, 1000, 1024, 4, -1, 2},
        {"", "", 9, 65546, 65792, 257, -1, 4},  // a mode above 3 is not restored
        {"", "", 0, 512, 768, 3, -1, 3},
        {"", "", 3, 0, 256, 1, -1, 2},
        // Stray bytes after the second acknowledgement are skipped; a garbled third: the third page again.
        {"extra:0x1021:5@2*1", kPage, 4, 2048, 2304, 9, -1, 2},
        {"garbage:0x1021@3*1", kPage, 4, 2048, 2304, 10, 2, 2},
        {"ignore:0x1021@1*3", "", 4, 2048, 2304, 12, 0, 2},
        // Answered after the time-out: the retry takes the late answer, its own is drained.
        {"delay:0x1021:10500@3*1", "", 4, 2048, 2304, 10, 2, 2},
        // Stray bytes after the last page: drained, not taken for the select's acknowledgement.
        {"extra:0x1021:6@9*1", "", 4, 2048, 2304, 9, -1, 2},
        // A garbled status has bit 0 set, but is no answer; stray bytes in the erase are drained.
        {"garbage:0x1023@1*2", "***** Reply to 0x1023 is not its frame: 0x", 4, 2048, 2304, 9, -1, 2},
        {"extra:0x1023:3@1*1", "Extra bytes found after a ContinuousStatus Read 0x1023", 4, 2048, 2304, 9, -1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rule) + " " + std::to_string(c.fileSize));
        Rig r(c.rule);
        r.sim.unit.m_pageWriteMs = 150;  // longer than a drain waits
        r.sim.comm.m_nOperationalMode = c.mode;
        r.sim.comm.m_bOperationalModeRead = 1;
        r.Load(c.target, r.sim.File("tr52K_dp.bin", Pattern(c.fileSize)));
        // While it runs, a new mark, a double-click and a second Load change nothing.
        r.update.OnBnClickedEeprom(6);
        r.update.OnBnDoubleClickedEeprom(6);
        r.update.OnBnClickedEepromLoad();
        // No page before the erase is done, nor before the unit can have answered the one before.
        int64_t earliest = r.sim.clock.NowMs() + r.sim.unit.m_eraseMs;
        r.RunTicks();
        const auto& pages = r.sim.sent[CMD_EEPROM_PAGE_WRITE];
        ASSERT_EQ(pages.size(), c.pages);
        for (const auto& page : pages) {
            EXPECT_GE(page.at, earliest);
            earliest = page.at + r.sim.unit.m_pageWriteMs;
        }
        if (c.rewritten >= 0) { EXPECT_EQ(pages[c.rewritten].bytes, pages[c.rewritten + 1].bytes); }
        EXPECT_TRUE(r.sim.Traced(c.trace));
        const CUpdateOutcome& o = r.update.Outcome();
        EXPECT_EQ(o.result, c.mode < 4 ? EUpdateResult::Completed : EUpdateResult::ModeOutOfRange);
        EXPECT_EQ(o.pagesAcknowledged, o.pagesTotal);
        EXPECT_EQ(o.pagesTotal, c.imageSize / 256);
        EXPECT_EQ(o.pageRetries, c.pages - o.pagesTotal);
        EXPECT_TRUE(o.eraseAcknowledged && o.eraseCompleted && o.selectAcknowledged && o.directoryRead);
        EXPECT_EQ(o.currentEeprom, c.target);
        EXPECT_EQ(o.modeRestored, c.mode < 4);
        EXPECT_EQ(o.imageSha256, Sha256Hex(Pattern(c.fileSize).data(), c.fileSize));
        EXPECT_EQ(o.sentSha256, Sha256Hex(Pattern(c.fileSize, c.imageSize).data(), c.imageSize));
        EXPECT_EQ(r.sim.unit.m_eeproms[c.target], Pattern(c.fileSize, c.imageSize));
        EXPECT_EQ(r.sim.Count(CMD_EEPROM_BULK_ERASE) + r.sim.Count(CMD_EEPROM_SELECT), 2);
        EXPECT_EQ(r.sim.unit.m_currentEeprom, c.target);
        // The directory read after the select decoded its own reply.
        EXPECT_EQ(r.sim.comm.m_dwEepromImageId[c.target], r.sim.unit.m_imageIds[c.target]);
        EXPECT_EQ(r.sim.Count(CMD_SET_OPERATIONAL_MODE), c.mode < 4 ? 1 : 0);
        EXPECT_EQ(r.sim.unit.m_operationalMode, c.mode < 4 ? c.mode : 1);
        ASSERT_FALSE(r.view.boxes.empty());
        EXPECT_EQ(r.view.boxes.back().text, "DP FPGA Configuration EEPROM Update has completed.");
        EXPECT_EQ(r.view.busy, 0);
        r.update.OnBnDoubleClickedEeprom(6);  // free once it has ended
        EXPECT_EQ(r.sim.unit.m_currentEeprom, 6);
    }
}

TEST(Eeprom, RefusedOrFailedUpdatesEndWithoutACompletion) {
    // frames: requests sent (-1: not counted); failFrom: the first allocation
    // of at least this many bytes runs out of memory.
    struct Case { const char *name, *rule, *caption; uintmax_t size; int frames; size_t pages, failFrom; };
    const Case cases[] = {
        // The file is settled before the erase, its padding included.
        {"TR52K_dp.bin", "", "Invalid Flash File", 100, 0, 0, 0},
        {"tr52K_missing.bin", "", "File Error", 0, 0, 0, 0},
        {"tr52K_huge.bin", "", "File Too Big Error", 16 << 20, 0, 0, 0},
        {"tr52K_dp.bin", "drop:0x1022", "Serial Port Error", 100, 1, 0, 0},
#if defined(__linux__)
        // Read in one 100,000-byte block, then padded into a larger one.
        {"tr52K_dp.bin", "", "Allocation Error", 100000, 0, 0, 150000},
#endif
        // An erase that never finishes ends at the limit set; a page is retried, but not for ever.
        {"tr52K_dp.bin", "drop:0x1023", "Serial Port Error", 100, -1, 0, 0},
        {"tr52K_dp.bin", "ignore:0x1021", "Serial Port Error", 100, -1, MAX_PAGE_FAILURES, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rule) + " " + c.caption);
        Rig r(c.rule);
        const std::string path = (r.sim.dir / c.name).string();
        if (c.size) std::filesystem::resize_file(r.sim.File(c.name, {}), c.size);
        r.update.m_procedure.m_nEraseTimeoutMs = 20000;
        g_failAllocationFrom = c.failFrom;
        r.Load(2, path);
        g_failAllocationFrom = 0;
        r.RunTicks();
        EXPECT_FALSE(r.update.UpdateRunning() || r.update.Outcome().Succeeded());
        ASSERT_FALSE(r.view.boxes.empty());
        EXPECT_EQ(r.view.boxes.back().caption, c.caption);
        EXPECT_EQ(r.sim.Count(CMD_EEPROM_PAGE_WRITE), static_cast<int>(c.pages));
        if (c.frames >= 0) { EXPECT_EQ(r.sim.link.m_writes.size(), static_cast<size_t>(c.frames)); }
        EXPECT_EQ(r.sim.Count(CMD_EEPROM_SELECT), 0);
        EXPECT_FALSE(r.flags.g_bEepromEraseActive || r.flags.g_bEepromPageProgramActive);
        EXPECT_EQ(r.view.busy, 0);
    }
}

// Without a limit, as in the dialog, an erase whose status never comes is
// polled for as long as the connection stands; a limit ends it, saying the
// EEPROM may be left erased.
TEST(Eeprom, AnUnansweredEraseIsPolledUntilItsLimit) {
    for (uint32_t limit : {0u, 30000u}) {
        SCOPED_TRACE(limit);
        Rig r("drop:0x1023");
        r.update.m_procedure.m_nEraseTimeoutMs = limit;
        r.Load(2, r.sim.File("tr52K_dp.bin", Pattern(600)));
        const int64_t start = r.sim.clock.NowMs();
        r.RunTicks();
        EXPECT_EQ(r.update.UpdateRunning(), limit == 0);
        EXPECT_GT(r.sim.Count(CMD_CONTINUOUS_STATUS_READ), 10);  // each waits for the one before it
        EXPECT_EQ(r.sim.Count(CMD_EEPROM_PAGE_WRITE), 0);
        if (!limit) continue;
        EXPECT_EQ(r.update.Outcome().result, EUpdateResult::EraseTimedOut);
        EXPECT_GE(r.sim.clock.NowMs() - start, 30000);
        EXPECT_LT(r.sim.clock.NowMs() - start, 32000);
        EXPECT_EQ(r.view.boxes.back().text,
                  "BulkEraseFPGA_ConfigEEPROM() did not complete within 30 s; the EEPROM may be left erased.");
    }
}

// A step after the last page that fails is shown before the completion box,
// never passed over; the pages themselves are all there.
TEST(Eeprom, AFailedStepAfterProgrammingIsToldBeforeTheCompletion) {
    const struct { const char* rule; EUpdateResult result; const char* caption; bool modeRead; } cases[] = {
        {"noop:0x1024", EUpdateResult::NotCurrent, "EEPROM Not Current", true},
        {"drop:0x1024", EUpdateResult::SelectNotAcknowledged, "Serial Port Error", true},
        {"drop:0x1000", EUpdateResult::ModeNotRestored, "Serial Port Error", true},
        {"", EUpdateResult::ModeUnknown, "Operational Mode Not Restored", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        Rig r(c.rule);
        r.sim.comm.m_nOperationalMode = 2;
        r.sim.comm.m_bOperationalModeRead = c.modeRead;
        r.Load(3, r.sim.File("tr52K_dp.bin", Pattern(600)));
        r.RunTicks();
        EXPECT_EQ(r.update.Outcome().result, c.result);
        EXPECT_EQ(r.sim.unit.m_eeproms[3], Pattern(600, 768));
        ASSERT_EQ(r.view.boxes.size(), 2u);
        EXPECT_EQ(r.view.boxes[0].caption, c.caption);
        EXPECT_EQ(r.view.boxes[1].text, "DP FPGA Configuration EEPROM Update has completed.");
        EXPECT_EQ(r.sim.Count(CMD_SET_OPERATIONAL_MODE), c.modeRead && c.result != EUpdateResult::SelectNotAcknowledged ? 1 : 0);
        EXPECT_TRUE(r.view.texts[EUpdateText::BytesWritten].empty());  // not shown as written through
    }
}

// "EEPROM k is current" comes only from the directory's own reply whose word
// names k: 0 for EEPROM_0; a word outside 0..11 names none, and a reply that
// is not the directory's own frame is no reading at all.
TEST(Eeprom, OnlyTheDirectorysOwnWordConfirmsTheCurrentEeprom) {
    const struct { int word; uint32_t target; const char* rule; bool read, confirmed; int shown; } cases[] = {
        {0, 0, "", true, true, 0},          {5, 5, "", true, true, 5},
        {5, 0, "", true, false, 5},         {12, 0, "", true, false, -1},
        {0x8000, 0, "", true, false, -1},   {0, 0, "garbage:0x2009@1*1", false, false, -1},
        {3, 3, "extra:0x0000:6@1*1", true, true, 3},  // stray bytes ahead of the reply are skipped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.word) + " " + c.rule);
        CSimulatedUnit sim(c.rule);
        sim.unit.m_currentEeprom = c.word;
        if (*c.rule == 'e') sim.comm.Ping();  // its reply brings the stray bytes
        CUpdateOutcome o;
        EXPECT_EQ(ConfirmCurrentEeprom(sim.comm, c.target, &o), c.confirmed);
        EXPECT_EQ(o.directoryRead, c.read);
        EXPECT_EQ(o.currentEeprom.value_or(-1), c.shown);
        EXPECT_EQ(sim.comm.m_bOwnFrameOnly, 0u);  // only for the re-read
        if (c.read) { EXPECT_EQ(o.currentEepromWord, c.word); }
    }
    CUpdateOutcome o;
    o.target = 4;
    o.currentEepromWord = 12;
    EXPECT_EQ(NotCurrentText(o), "EEPROM_4 was written, but the unit's directory names no EEPROM as current (word 43 "
                                 "reads 12).");
}

// The erase flag of an earlier update must not start the programming of the
// next one when this one's first status read goes unanswered.
TEST(Eeprom, AFailedStatusReadAfterAnEarlierUpdateWritesNoPage) {
    Rig r;
    r.Load(2, r.sim.File("tr52K_dp.bin", Pattern(600)));
    r.RunTicks();
    ASSERT_EQ(r.sim.comm.m_bEraseComplete, 1u);
    const int polls = r.sim.Count(CMD_CONTINUOUS_STATUS_READ), pages = r.sim.Count(CMD_EEPROM_PAGE_WRITE);
    ASSERT_TRUE(ParseSimRule("drop:0x1023@" + std::to_string(polls + 1) + "*1", &r.sim.unit.m_faultRules.emplace_back(),
                             nullptr));
    r.view.boxes.clear();
    r.Load(3, r.sim.File("tr52K_dp2.bin", Pattern(700)));
    r.RunTicks();
    EXPECT_EQ(r.update.Outcome().result, EUpdateResult::EraseStatusFailed);
    EXPECT_EQ(r.sim.Count(CMD_EEPROM_PAGE_WRITE), pages);
    ASSERT_FALSE(r.view.boxes.empty());
    EXPECT_EQ(r.view.boxes.back().text, "WriteFPGA_ConfigEEPROM_Page() failed.");
}

// Unpaced, the pages go back to back, each only after the one before was
// acknowledged by its own reply; a late acknowledgement and stray bytes
// change nothing of that, and the image arrives whole.
TEST(Eeprom, UnpacedPagesGoBackToBackWithTheSameTruth) {
    for (const char* rule : {"", "delay:0x1021:10500@3*1", "extra:0x1021:5@2*1"}) {
        SCOPED_TRACE(rule);
        CSimulatedUnit sim(rule);
        sim.unit.m_pageWriteMs = 40;
        CTickerFlags flags;
        CEepromUpdate update(sim.comm, flags, sim.clock);
        CNoProgress progress;
        ASSERT_EQ(update.Load(6, sim.File("tr52K_dp.bin", Pattern(5000)), progress).result, EUpdateResult::InProgress);
        update.RunUnpaced();
        const CUpdateOutcome& o = update.Outcome();
        EXPECT_EQ(o.result, EUpdateResult::ModeUnknown);  // written and current; this unit's mode was never read
        EXPECT_EQ(sim.unit.m_eeproms[6], Pattern(5000, 5120));
        EXPECT_EQ(o.pagesAcknowledged, 20u);
        const auto& pages = sim.sent[CMD_EEPROM_PAGE_WRITE];
        ASSERT_EQ(pages.size(), *rule == 'd' ? 21u : 20u);
        for (size_t i = 1; i < pages.size(); ++i) {
            const int64_t gap = pages[i].at - pages[i - 1].at;
            EXPECT_GE(gap, 40);  // never before the unit can have answered
            if (*rule != 'd') { EXPECT_LE(gap, 42); }  // and no rhythm of its own
        }
    }
}

// A DSP update that succeeds closes the program; while an EEPROM update
// runs it would abandon an erased EEPROM, so it is refused before any frame.
TEST(Eeprom, DspLoadIsRefusedWhileAnEepromUpdateRuns) {
    Rig r;
    CDialogDspUpdate dsp{r.sim.comm, r.view, r.sim.clock};
    dsp.m_refuseWhile = [&] { return r.update.UpdateRunning(); };
    r.view.texts[EUpdateText::Dsp1File] = r.sim.File("TR52K1_DSP1_a.bin", Pattern(300));
    r.Load(2, r.sim.File("tr52K_dp.bin", Pattern(600)));
    EXPECT_EQ(dsp.LoadDspFlashFile(0).result, EUpdateResult::Busy);
    EXPECT_EQ(r.view.boxes.back().caption, "EEPROM Update Busy");
    EXPECT_EQ(r.sim.Count(CMD_DSP_FLASH) + r.sim.Count(CMD_DSP_FLASH_BLOCK), 0);
    r.RunTicks();
    EXPECT_EQ(r.update.Outcome().result, EUpdateResult::ModeUnknown);  // the rig's unit never reported its mode
    EXPECT_EQ(r.sim.unit.m_eeproms[2], Pattern(600, 768));
}
}  // namespace
