// DSP flash update: refusals before any traffic, blocks and outcomes.
#include <gtest/gtest.h>

#include "UpdateTestSupport.h"
#include "platform/Sha256.h"
#include "ui/DialogUpdates.h"

namespace {
TEST(Dsp, RefusalsBlocksAndOutcomes) {
    struct Case {
        std::string name; size_t size; uint32_t selector; const char *rule, *caption, *trace; int starts;
        EUpdateResult result;
    };
    const char* const kRestart = "Restart the DSP1 Flash File Download Operation\r\n";
    const Case cases[] = {
        // Refused before the unit hears anything; a read failure is told apart by its cause.
        {"", 0, 0, "", "Invalid File Name", "", 0, EUpdateResult::InvalidFileName},
        {"TR52K1_DSP2_v1.bin", 10, 0, "", "Invalid Flash File", "", 0, EUpdateResult::InvalidFlashFile},
        {"tr52k1_dsp1_v1.bin", 10, 0, "", "Invalid Flash File", "", 0, EUpdateResult::InvalidFlashFile},
        {"_DSP2_v1.bin", 10, 1, "", "Invalid Flash File", "", 0, EUpdateResult::InvalidFlashFile},
        {"TR52K1_DSP1_big.bin", DSP_IMAGE_MAX + 1, 0, "", "File Too Big Error", kRestart, 0, EUpdateResult::FileTooBig},
        {"gone/TR52K1_DSP1_x.bin", 0, 0, "", "File Error", "CFileException.m_cause = fileNotFound.\r\n", 0, EUpdateResult::FileUnreadable},
        // Completed, with the fixed write wait; a failed start does not stop the upload.
        {"TR52K1_DSP1_a.bin", 1000, 0, "", "DSP1 Flash File", "Elapsed Time: 1:00\r\n", 2, EUpdateResult::Completed},
        {"TR52K1_DSP1_/image.bin", DSP_IMAGE_MAX, 0, "", "DSP1 Flash File", "DSP1 Flash Operation Completed.", 2, EUpdateResult::Completed},
        {"TR52K1_DSP2_e.bin", 0, 1, "", "DSP2 Flash File", "You must now reboot the TR52K before you can flash DSP1.", 2, EUpdateResult::Completed},
        {"TR52K1_DSP1_a.bin", 300, 0, "drop:0x1001@1*1", "DSP1 Flash File", "", 2, EUpdateResult::Completed},
        // A lost block ends it at once; after a lost finish the unit may be
        // writing, so the wait runs, but it is no completion.
        {"TR52K1_DSP1_a.bin", 1000, 0, "drop:0x1020@3*1", "Serial Comm Error", kRestart, 1, EUpdateResult::BlockNotAcknowledged},
        {"TR52K1_DSP1_a.bin", 1000, 0, "drop:0x1001@2*1", "Serial Comm Error", "FinishDSP_Flash() failed.\r\n", 2, EUpdateResult::FinishNotAcknowledged},
        // A block answered by another command's frame, or by a reply that
        // came too late, confirms nothing.
        {"TR52K1_DSP1_a.bin", 1000, 0, "garbage:0x1020@2*1", "Serial Comm Error", "Reply to 0x1020 is not its frame", 1, EUpdateResult::BlockNotAcknowledged},
        {"TR52K1_DSP1_a.bin", 1000, 0, "delay:0x1020:1300@4*1", "Serial Comm Error", kRestart, 1, EUpdateResult::BlockNotAcknowledged},
        // The unit restarts while it writes its flash: the watched wait ends there, as a failure.
        {"TR52K1_DSP1_a.bin", 1000, 0, "hangup:0x1001:5000@2*1", "Serial Comm Error", kRestart, 2,
         EUpdateResult::ConnectionLostInWriteWait},
        {"TR52K1_DSP1_a.bin", 1000, 0, "reset:0x1001@2*1", "Serial Comm Error", kRestart, 2,
         EUpdateResult::ConnectionLostInWriteWait},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + c.rule);
        CSimulatedUnit sim(c.rule);
        CRecordingView view;
        CDialogDspUpdate update{sim.comm, view, sim.clock};
        sim.link.m_nLinkType = LINK_TYPE_NETWORK;
        if (!c.name.empty())
            view.texts[c.selector ? EUpdateText::Dsp2File : EUpdateText::Dsp1File] =
                c.name.rfind("gone/", 0) == 0 ? (sim.dir / c.name).string() : sim.File(c.name, Pattern(c.size));
        const CUpdateOutcome o = update.LoadDspFlashFile(c.selector);
        const bool ok = o.Succeeded();
        EXPECT_EQ(o.result, c.result) << UpdateResultName(o.result);
        const bool waited = c.starts == 2 && c.result != EUpdateResult::ConnectionLostInWriteWait;
        EXPECT_EQ(o.finishAcknowledged, ok || c.rule == std::string("hangup:0x1001:5000@2*1"));
        EXPECT_EQ(o.finishSent, c.starts == 2);
        EXPECT_EQ(o.writeWaitDone, waited);
        if (c.result == EUpdateResult::ConnectionLostInWriteWait) {
            // Lost in the fifth second of the 60 s wait, or at once.
            EXPECT_EQ(o.writeWaitSecondsLeft, c.rule[0] == 'h' ? 56u : 60u);
        }
        // The failure beep for a failed download, never for a refused name.
        const bool refused = c.result == EUpdateResult::InvalidFileName || c.result == EUpdateResult::InvalidFlashFile;
        EXPECT_EQ(std::count(view.beeps.begin(), view.beeps.end(), std::make_pair(100u, 100u)), ok || refused ? 0 : 1);
        ASSERT_FALSE(view.boxes.empty());
        EXPECT_EQ(view.boxes.front().caption, c.caption);
        EXPECT_TRUE(sim.Traced(c.trace));
        EXPECT_EQ(sim.Traced("Completed"), ok);
        EXPECT_EQ(sim.Traced("You must now reboot"), ok && c.selector);  // after DSP2 only
        EXPECT_EQ(view.closeRequests, ok ? 1 : 0);
        EXPECT_EQ(sim.Count(CMD_DSP_FLASH), c.starts);
        EXPECT_EQ(view.bars[EProgressBar::PageProgram].pos == 60, waited);
        EXPECT_EQ(view.busy, 0);
        if (!ok) continue;
        EXPECT_EQ(sim.unit.m_dspImages[c.selector], Pattern(c.size));
        EXPECT_EQ(o.imageSha256, Sha256Hex(Pattern(c.size).data(), c.size));
        EXPECT_EQ(o.blocksAcknowledged, o.blocksTotal);
        const auto& blocks = sim.sent[CMD_DSP_FLASH_BLOCK];
        ASSERT_EQ(blocks.size(), (c.size + 127) / 128);
        for (size_t i = 0; i < blocks.size(); ++i)
            EXPECT_EQ(blocks[i].bytes.size() - 7, std::min<size_t>(128, c.size - 128 * i));
    }
}
}  // namespace
