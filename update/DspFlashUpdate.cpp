#include "update/DspFlashUpdate.h"

#include <algorithm>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/Text.h"

namespace {
std::string Dsp(uint32_t selector) { return selector ? "DSP2" : "DSP1"; }

// The boxes of each ending, in the order they are shown.
std::vector<CUpdateMessage> DspMessages(const CUpdateOutcome& o, bool network) {
    const std::string dsp = Dsp(o.target);
    const CUpdateMessage restart{"Restart the " + dsp + " Flash File Download Operation", "Serial Comm Error"};
    switch (o.result) {
        case EUpdateResult::Completed: {
            std::string text = dsp + " Flash Operation Completed.";
            if (o.target && network) text += " You must now reboot the TR52K before you can flash DSP1.";
            return {{text, dsp + " Flash File", false}};
        }
        case EUpdateResult::InvalidFileName: return {{"Invalid File Name", "Invalid File Name"}};
        case EUpdateResult::InvalidFlashFile:
            if (o.imagePath.find(o.target ? "_DSP2_" : "_DSP1_") == std::string::npos)
                return {{"File chosen is not a valid file for " + dsp, "Invalid Flash File"}};
            return {{"File chosen is not a valid file for TR52K", "Invalid Flash File"}};
        // A file that cannot be opened or read is the user's to fix: said
        // as such, and no link is blamed (nothing was sent).
        case EUpdateResult::FileUnreadable:
            return {{"The image file " + o.imagePath + " could not be read" +
                         (o.fileError.empty() ? "" : ": " + o.fileError) + "; nothing was sent to the unit.",
                     "File Error"}};
        case EUpdateResult::FileTooBig:
            return {{"The File size exceeds the buffer size in the DSP.", "File Too Big Error"}, restart};
        case EUpdateResult::AllocationFailed: return {{o.fileError, "Allocation Error"}, restart};
        case EUpdateResult::UnknownException: return {{"Unknown Exception Caught.", "Unknown Error"}, restart};
        default: return {restart};
    }
}
}  // namespace

CUpdateOutcome CDspFlashUpdate::LoadDspFlashFile(uint32_t selector, const std::string& path,
                                                 CUpdateProgress& progress) {
    CUpdateOutcome o;
    o.kind = EUpdateKind::DspFlash;
    o.target = selector ? 1 : 0;
    o.imagePath = path;
    o.startMs = m_clock.NowMs();
    auto end = [&](EUpdateResult r) {
        o.result = r;
        o.endMs = m_clock.NowMs();
        CBaseClass* link = m_comm.GetDeviceLink();
        o.messages = DspMessages(o, link && link->GetLinkType() == LINK_TYPE_NETWORK);
        for (const CUpdateMessage& m : o.messages) DebugOutput(m.text + "\r\n");
        return o;
    };

    EUpdateResult r = CheckImagePath(EUpdateKind::DspFlash, selector, path);
    if (r != EUpdateResult::Completed) return end(r);
    // The whole image is read and checked before the unit hears anything.
    std::vector<uint8_t> image;
    r = ReadImageFile(path, ImageSizeLimit(EUpdateKind::DspFlash), &image, &o);
    if (r != EUpdateResult::Completed) return end(r);

    // A failed start does not stop the upload: the blocks decide.
    o.startAcknowledged = m_comm.StartDSP_Flash(selector) != 0;
    o.writeSent = m_comm.LastRequestSent();
    o.blocksTotal = static_cast<uint32_t>((image.size() + DSP_BLOCK_MAX - 1) / DSP_BLOCK_MAX);
    progress.OnStage(EUpdateStage::Upload, static_cast<uint32_t>(image.size() / DSP_BLOCK_MAX));
    for (size_t offset = 0; offset < image.size();) {
        if (progress.StopRequested()) return end(EUpdateResult::Interrupted);
        uint16_t n = static_cast<uint16_t>(std::min<size_t>(DSP_BLOCK_MAX, image.size() - offset));
        if (!m_comm.WriteDSP_FlashBlock(selector, image.data() + offset, n)) break;
        offset += n;
        ++o.blocksAcknowledged;
        // The bytes first: a view that counts bytes has them by the step.
        progress.OnBytes(offset, image.size());
        progress.OnStep(EUpdateStage::Upload, o.blocksAcknowledged);
    }
    if (o.blocksAcknowledged != o.blocksTotal) return end(EUpdateResult::BlockNotAcknowledged);

    // The unit may be writing its flash even when its answer to the finish
    // is lost, so the wait runs either way; but an unconfirmed finish is not
    // reported as a completed update.
    o.finishAcknowledged = m_comm.FinishDSP_Flash(selector) != 0;
    o.finishSent = m_comm.LastRequestSent();
    progress.OnStage(EUpdateStage::WriteWait, DSP_WRITE_WAIT_STEPS);
    for (int i = 1; i <= DSP_WRITE_WAIT_STEPS; ++i) {
        // The unit writes its flash whether we wait or not; a caller that
        // stops here is told how long it still takes.
        if (progress.StopRequested()) {
            o.writeWaitSecondsLeft = static_cast<uint32_t>(DSP_WRITE_WAIT_STEPS - i + 1);
            return end(EUpdateResult::Interrupted);
        }
        // Nothing is sent, but the connection is watched: a unit that resets
        // or drops it while writing may hold an incomplete image.
        if (!m_comm.WatchLink(static_cast<int32_t>(m_nWriteWaitStepMs))) {
            o.writeWaitSecondsLeft = static_cast<uint32_t>(DSP_WRITE_WAIT_STEPS - i + 1);
            return end(EUpdateResult::ConnectionLostInWriteWait);
        }
        progress.OnStep(EUpdateStage::WriteWait, static_cast<uint32_t>(i));
    }
    o.writeWaitDone = true;
    if (!o.finishAcknowledged) {
        DebugOutput("FinishDSP_Flash() failed.\r\n");
        return end(EUpdateResult::FinishNotAcknowledged);
    }
    return end(EUpdateResult::Completed);
}
