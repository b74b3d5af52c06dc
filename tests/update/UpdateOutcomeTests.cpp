// The outcome's vocabulary: every result has its words and a stable name,
// and the image digest is the one published tools compute.
#include <gtest/gtest.h>

#include <set>

#include "UpdateTestSupport.h"
#include "platform/Sha256.h"
#include "platform/File.h"
#include "app/OutcomeJson.h"
#include "update/ImageFile.h"
#include "update/UpdateOutcome.h"

namespace {
TEST(Outcome, EveryResultHasATextAndItsOwnName) {
    std::set<std::string> names, texts;
    for (EUpdateResult r : AllUpdateResults()) {
        SCOPED_TRACE(static_cast<int>(r));
        EXPECT_STRNE(UpdateResultText(r), "Unknown result.");
        EXPECT_STRNE(UpdateResultName(r), "unknown");
        EXPECT_TRUE(names.insert(UpdateResultName(r)).second);
        EXPECT_TRUE(texts.insert(UpdateResultText(r)).second);
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(EUpdateResult::Interrupted) + 1);
}

TEST(Outcome, ImageDigestAndFileFacts) {
    const std::string abc = "abc";
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    const ScratchDir dir{"tr52k-outcome"};
    std::vector<uint8_t> image;
    CUpdateOutcome o;
    const std::string path = WriteFile(dir / "image.bin", Pattern(300));
    EXPECT_EQ(ReadImageFile(path, 299, &image, &o), EUpdateResult::FileTooBig);
    EXPECT_FALSE(o.imageRead);
    EXPECT_EQ(ReadImageFile(path, 300, &image, &o), EUpdateResult::Completed);
    EXPECT_EQ(image, Pattern(300));
    EXPECT_TRUE(o.imageRead);
    EXPECT_EQ(o.imageSha256, Sha256Hex(image.data(), image.size()));
    CUpdateOutcome missing;
    EXPECT_EQ(ReadImageFile((dir / "gone.bin").string(), 300, &image, &missing), EUpdateResult::FileUnreadable);
    EXPECT_EQ(missing.fileError, "CFileException.m_cause = fileNotFound.");
    EXPECT_TRUE(image.empty() && IsFileProblem(EUpdateResult::FileUnreadable));
    EXPECT_FALSE(IsFileProblem(EUpdateResult::PageNotAcknowledged));
}

// Every step that prepares an image (read, padding, digest) is guarded: a
// failure there is a result, the image is given back, and the trace says it
// once (the procedure writes the box text; the guard adds only the cause).
TEST(Outcome, AFailingImageStepIsAResultTracedOnce) {
    const struct { const char* name; std::function<void()> step; EUpdateResult result; const char* trace; } cases[] = {
        {"allocation", [] { throw std::bad_alloc(); }, EUpdateResult::AllocationFailed,
         "Failed allocation from operator new.\r\n"},
        {"anything else", [] { throw 42; }, EUpdateResult::UnknownException, ""},
        {"file", [] { throw CFileException(CFileException::hardIO, 5, "x.bin"); }, EUpdateResult::FileUnreadable,
         "CFileException Caught\r\nCFileException.m_cause = hardIO.\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CCapturingDebugSink trace;
        CScopedThreadDebugSink scoped(&trace);
        std::vector<uint8_t> image(10, 1);
        CUpdateOutcome o;
        EXPECT_EQ(GuardImageStep(&image, &o, c.step), c.result);
        EXPECT_TRUE(image.empty());
        EXPECT_EQ(trace.Text(), c.trace);
    }
}
}  // namespace

namespace {
// The dialog's Browse boxes and both procedures judge a name the same way.
TEST(Outcome, AnImageNameFitsOnlyItsOwnTarget) {
    const struct { EUpdateKind kind; uint32_t target; const char* path; const char* fault; } cases[] = {
        {EUpdateKind::DspFlash, 0, "/x/TR52K1_DSP1_v2.bin", ""},
        {EUpdateKind::DspFlash, 1, "/x/TR52K1_DSP1_v2.bin", "File chosen is not a valid file for DSP2"},
        {EUpdateKind::DspFlash, 0, "/x/tr52k1_DSP1_v2.bin", "File chosen is not a valid file for TR52K1"},
        {EUpdateKind::DspFlash, 1, "", "Invalid File Name"},
        {EUpdateKind::ConfigEeprom, 3, "/x/tr52K_dp.bin", ""},
        {EUpdateKind::ConfigEeprom, 3, "/x/TR52K_dp.bin", "File chosen is not a valid file for the DP FPGA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ImagePathFault(c.kind, c.target, c.path), c.fault);
        EXPECT_EQ(CheckImagePath(c.kind, c.target, c.path), !*c.path  ? EUpdateResult::InvalidFileName
                                                             : *c.fault ? EUpdateResult::InvalidFlashFile
                                                                        : EUpdateResult::Completed);
    }
}
}  // namespace

namespace {
// Scripts read a DSP update's steps by these names; each field is its own
// step's value, not a neighbour's.
TEST(Outcome, JsonOfADspUpdateNamesEachStep) {
    CUpdateOutcome o;
    o.kind = EUpdateKind::DspFlash;
    o.target = 1;
    o.result = EUpdateResult::Completed;
    o.startAcknowledged = true;
    o.blocksTotal = 7;
    o.blocksAcknowledged = 6;
    o.finishSent = true;
    o.writeWaitDone = true;
    const auto j = OutcomeJson(o);
    EXPECT_EQ(j.at("dsp"), 2);
    EXPECT_EQ(j.at("blocks"), 7);
    EXPECT_EQ(j.at("blocksAcknowledged"), 6);
    EXPECT_TRUE(j.at("startAcknowledged").get<bool>() && j.at("finishSent").get<bool>() &&
                j.at("writeWaitDone").get<bool>());
    EXPECT_FALSE(j.at("finishAcknowledged").get<bool>());
    EXPECT_FALSE(j.contains("eeprom") || j.contains("pages"));
}
}  // namespace
