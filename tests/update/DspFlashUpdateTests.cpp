// DSP flash update: name checks, size limit, blocks, outcomes.
#include <gtest/gtest.h>

#include "UpdateTestSupport.h"
#include "platform/DebugOutput.h"
#include "platform/Win32Types.h"
#include "update/DspFlashUpdate.h"

using namespace win32;

namespace {
struct Dsp : ::testing::Test {
    CSimulatedUnit sim;
    CRecordingView view;
    CDspFlashUpdate update{sim.comm, view, sim.clock};
    CTempDir dir;
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};

    std::string Image(const std::string& name, size_t size) { return dir.File(name, Pattern(size)); }
};

TEST_F(Dsp, NameChecksRefuseBeforeAnyTraffic) {
    struct Case {
        std::string path;
        uint32_t selector;
        const char* text;
        const char* caption;
    };
    const Case cases[] = {
        {"", 0, "Invalid File Name", "Invalid File Name"},
        {"/x/TR52K1_DSP2_v1.bin", 0, "File chosen is not a valid file for DSP1", "Invalid Flash File"},
        {"/x/tr52k1_dsp1_v1.bin", 0, "File chosen is not a valid file for DSP1", "Invalid Flash File"},
        {"/x/_DSP2_v1.bin", 1, "File chosen is not a valid file for TR52K", "Invalid Flash File"},
    };
    for (const auto& c : cases) {
        view.boxes.clear();
        view.texts[c.selector ? EUpdateText::Dsp2File : EUpdateText::Dsp1File] = c.path;
        EXPECT_EQ(update.LoadDspFlashFile(c.selector), 0u);
        ASSERT_EQ(view.boxes.size(), 1u) << c.path;
        EXPECT_EQ(view.boxes[0].text, c.text);
        EXPECT_EQ(view.boxes[0].caption, c.caption);
    }
    EXPECT_TRUE(sim.commands.empty());
    EXPECT_EQ(view.labels[EProgressLabel::BulkErase], "Uploading:");
    EXPECT_EQ(view.busy, 0);
}

TEST_F(Dsp, MarkersInTheFolderAreAccepted) {
    view.texts[EUpdateText::Dsp1File] = Image("TR52K1_DSP1_/image.bin", 10);
    EXPECT_NE(update.LoadDspFlashFile(0), 0u);
}

TEST_F(Dsp, SizeLimitIsCheckedBeforeTheStart) {
    view.texts[EUpdateText::Dsp1File] = Image("TR52K1_DSP1_big.bin", DSP_IMAGE_MAX + 1);
    EXPECT_EQ(update.LoadDspFlashFile(0), 0u);
    EXPECT_TRUE(sim.commands.empty());
    ASSERT_GE(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].caption, "File Too Big Error");
    EXPECT_EQ(view.boxes.back().caption, "Serial Comm Error");
    EXPECT_EQ(view.closeRequests, 0);

    view.texts[EUpdateText::Dsp1File] = Image("TR52K1_DSP1_max.bin", DSP_IMAGE_MAX);
    EXPECT_NE(update.LoadDspFlashFile(0), 0u);
    EXPECT_EQ(sim.unit.m_dspImages[0].size(), DSP_IMAGE_MAX);
}

TEST_F(Dsp, MissingFileSendsNothing) {
    view.texts[EUpdateText::Dsp1File] = (dir.path / "TR52K1_DSP1_gone.bin").string();
    EXPECT_EQ(update.LoadDspFlashFile(0), 0u);
    EXPECT_TRUE(sim.commands.empty());
    EXPECT_NE(trace.Text().find("CFileException.m_cause = fileNotFound.\r\n"), std::string::npos);
    EXPECT_EQ(view.boxes.back().text, "Restart the DSP1 Flash File Download Operation");
}

TEST_F(Dsp, ThousandBytesGoOutAsSevenFullBlocksAndOneShort) {
    view.texts[EUpdateText::Dsp1File] = Image("TR52K1_DSP1_a.bin", 1000);
    std::vector<size_t> sizes;
    auto feed = sim.link.m_onWrite;
    sim.link.m_onWrite = [&](const std::vector<uint8_t>& f) {
        if ((f[2] | f[3] << 8) == 0x1020) sizes.push_back(f.size() - 7);
        feed(f);
    };
    ASSERT_NE(update.LoadDspFlashFile(0), 0u);
    EXPECT_EQ(sizes, (std::vector<size_t>{128, 128, 128, 128, 128, 128, 128, 104}));
    EXPECT_EQ(view.bars[EProgressBar::BulkErase].upper, 7);
    EXPECT_EQ(sim.unit.m_dspImages[0], Pattern(1000));
    EXPECT_EQ(view.bars[EProgressBar::PageProgram].pos, 60);
    EXPECT_GE(sim.clock.NowMs(), 60000);  // the fixed write wait
    EXPECT_EQ(view.beeps, (std::vector<std::pair<uint32_t, uint32_t>>{{1000, 10}, {1000, 100}}));
    EXPECT_EQ(view.boxes.back().text, "DSP1 Flash Operation Completed.");
    EXPECT_EQ(view.boxes.back().type, MB_OK);
    EXPECT_EQ(view.closeRequests, 1);
    EXPECT_NE(trace.Text().find("Elapsed Time: 1:00\r\n"), std::string::npos);
}

TEST_F(Dsp, EmptyImageSendsStartAndFinishOnly) {
    view.texts[EUpdateText::Dsp2File] = Image("TR52K1_DSP2_e.bin", 0);
    ASSERT_NE(update.LoadDspFlashFile(1), 0u);
    EXPECT_EQ(sim.commands, (std::vector<uint16_t>{0x1001, 0x1001}));
}

TEST_F(Dsp, FailedStartDoesNotStopTheUpload) {
    sim.unit.m_faults.drop[0x1001] = 1;
    view.texts[EUpdateText::Dsp1File] = Image("TR52K1_DSP1_a.bin", 300);
    EXPECT_NE(update.LoadDspFlashFile(0), 0u);
    EXPECT_EQ(sim.Count(0x1020), 3);
}

TEST_F(Dsp, UnansweredFinishWaitsButIsNotReportedAsCompleted) {
    view.texts[EUpdateText::Dsp1File] = Image("TR52K1_DSP1_a.bin", 300);
    int starts = 0;
    auto feed = sim.link.m_onWrite;
    sim.link.m_onWrite = [&](const std::vector<uint8_t>& f) {
        if ((f[2] | f[3] << 8) == 0x1001 && ++starts == 2) return;  // the finish is lost
        feed(f);
    };
    const int64_t before = sim.clock.NowMs();
    EXPECT_EQ(update.LoadDspFlashFile(0), 0u);
    EXPECT_GE(sim.clock.NowMs() - before, 60000);  // the write wait still ran
    EXPECT_EQ(view.boxes.back().text, "Restart the DSP1 Flash File Download Operation");
    EXPECT_EQ(view.boxes.back().caption, "Serial Comm Error");
    EXPECT_EQ(view.closeRequests, 0);
    EXPECT_NE(trace.Text().find("FinishDSP_Flash() failed.\r\n"), std::string::npos);
    EXPECT_EQ(trace.Text().find("Completed"), std::string::npos);
}

TEST_F(Dsp, ThirdBlockFailureStopsEverything) {
    view.texts[EUpdateText::Dsp1File] = Image("TR52K1_DSP1_a.bin", 1000);
    int blocks = 0;
    auto feed = sim.link.m_onWrite;
    sim.link.m_onWrite = [&](const std::vector<uint8_t>& f) {
        if ((f[2] | f[3] << 8) == 0x1020 && ++blocks == 3) {
            sim.commands.push_back(0x1020);  // swallowed by the unit
            return;
        }
        feed(f);
    };
    EXPECT_EQ(update.LoadDspFlashFile(0), 0u);
    EXPECT_EQ(blocks, 3);
    EXPECT_EQ(sim.Count(0x1001), 1);  // no finish
    EXPECT_EQ(view.beeps, (std::vector<std::pair<uint32_t, uint32_t>>{{100, 100}}));
    EXPECT_EQ(view.boxes.back().caption, "Serial Comm Error");
    EXPECT_EQ(view.closeRequests, 0);
    EXPECT_NE(trace.Text().find("Restart the DSP1 Flash File Download Operation\r\n"), std::string::npos);
}

TEST_F(Dsp, Dsp2OverTheNetworkAddsTheRebootAdvice) {
    sim.link.m_nLinkType = LINK_TYPE_NETWORK;
    view.texts[EUpdateText::Dsp2File] = Image("TR52K1_DSP2_a.bin", 5);
    ASSERT_NE(update.LoadDspFlashFile(1), 0u);
    EXPECT_EQ(view.boxes.back().text,
              "DSP2 Flash Operation Completed. You must now reboot the TR52K before you can flash DSP1.");
    EXPECT_EQ(view.boxes.back().caption, "DSP2 Flash File");
}

TEST_F(Dsp, BrowseChecksTheChosenName) {
    view.choice = EFileChoice::Chosen;
    view.chosenPath = "/fw/TR52K_DSP1_x.bin";
    update.BrowseDspFlashFile(0);
    EXPECT_EQ(view.boxes.back().text, "File chosen is not a valid file for TR52K1");
    EXPECT_EQ(view.texts[EUpdateText::Dsp1File], "");
    view.chosenPath = "/fw/TR52K1_DSP1_x.bin";
    update.BrowseDspFlashFile(0);
    EXPECT_EQ(view.texts[EUpdateText::Dsp1File], "/fw/TR52K1_DSP1_x.bin");
    view.choice = EFileChoice::Failed;
    update.BrowseDspFlashFile(0);
    EXPECT_EQ(view.boxes.back().text, "GetLastError() returned:5, Meaning: Access is denied.");
    EXPECT_EQ(view.boxes.back().caption, "Dialog DoModal() Error");
}

TEST(ElapsedTime, MinutesAndSeconds) {
    EXPECT_EQ(ElapsedTimeText(0, (75 * 60 + 3) * 1000 + 999), "Elapsed Time: 75:03\r\n");
    EXPECT_EQ(ElapsedTimeText(1000, 1999), "Elapsed Time: 0:00\r\n");
}
}  // namespace
