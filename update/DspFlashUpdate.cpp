#include "update/DspFlashUpdate.h"

#include <algorithm>
#include <new>
#include <vector>

#include "link/FileExeptionErrorMsgs.h"
#include "platform/DebugOutput.h"
#include "platform/ErrorText.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"

using namespace win32;

namespace {
const char* Marker(uint32_t selector) { return selector ? "_DSP2_" : "_DSP1_"; }
std::string Dsp(uint32_t selector) { return selector ? "DSP2" : "DSP1"; }
EUpdateText PathEdit(uint32_t selector) { return selector ? EUpdateText::Dsp2File : EUpdateText::Dsp1File; }

class CBusy {
public:
    explicit CBusy(CUpdateView& v) : m_view(v) { m_view.BeginBusy(); }
    ~CBusy() { m_view.EndBusy(); }

private:
    CUpdateView& m_view;
};
}  // namespace

std::string ElapsedTimeText(int64_t startMs, int64_t nowMs) {
    uint32_t seconds = static_cast<uint32_t>((nowMs - startMs) / 1000) % 65536;
    return Format("Elapsed Time: %u:%.2u\r\n", seconds / 60, seconds % 60);
}

void CDspFlashUpdate::BrowseDspFlashFile(uint32_t selector) {
    std::string path;
    if (!ChooseImageFile(m_view, &path)) return;
    if (path.find(Marker(selector)) == std::string::npos) {
        m_view.ShowMessageBox("File chosen is not a valid file for " + Dsp(selector), "Invalid Flash File", MB_ICONERROR);
    } else if (path.find("TR52K1_") == std::string::npos) {
        m_view.ShowMessageBox("File chosen is not a valid file for TR52K1", "Invalid Flash File", MB_ICONERROR);
    } else {
        m_view.SetText(PathEdit(selector), path);
    }
}

void CDspFlashUpdate::Report(const std::string& text, const std::string& caption) {
    m_view.ShowMessageBox(text, caption, MB_ICONERROR);
    DebugOutput(text + "\r\n");
}

uint32_t CDspFlashUpdate::Fail(uint32_t selector) {
    m_view.Beep(100, 100);
    Report("Restart the " + Dsp(selector) + " Flash File Download Operation", "Serial Comm Error");
    return 0;
}

uint32_t CDspFlashUpdate::LoadDspFlashFile(uint32_t selector) {
    CBusy busy(m_view);
    m_nStartClock = m_clock.NowMs();
    m_view.SetLabel(EProgressLabel::BulkErase, "Uploading:");
    m_view.SetLabel(EProgressLabel::PageProgram, "Writing:");
    m_view.SetProgressStep(EProgressBar::BulkErase, 1);
    m_view.SetProgressPos(EProgressBar::BulkErase, 0);
    m_view.SetProgressRange(EProgressBar::PageProgram, 0, DSP_WRITE_WAIT_STEPS);
    m_view.SetProgressStep(EProgressBar::PageProgram, 1);
    m_view.SetProgressPos(EProgressBar::PageProgram, 0);

    const std::string path = m_view.GetText(PathEdit(selector));
    if (path.empty()) {
        Report("Invalid File Name", "Invalid File Name");
        return 0;
    }
    if (path.find(Marker(selector)) == std::string::npos) {
        Report("File chosen is not a valid file for " + Dsp(selector), "Invalid Flash File");
        return 0;
    }
    if (path.find("TR52K1_") == std::string::npos) {
        Report("File chosen is not a valid file for TR52K", "Invalid Flash File");
        return 0;
    }

    // The whole image is read and checked before the unit hears anything.
    std::vector<uint8_t> image;
    try {
        CImageFile file;
        CFileException error(0, 0, path);
        if (!file.Open(path, &error)) throw error;
        uint64_t length = file.GetLength();
        if (length > DSP_IMAGE_MAX) throw std::length_error("too big");
        image.resize(static_cast<size_t>(length));
        uint32_t got = file.Read(image.data(), static_cast<uint32_t>(image.size()));
        // One byte more tells whether the file grew while it was read.
        uint8_t probe;
        if (got != image.size() || file.Read(&probe, 1) != 0)
            throw CFileException(CFileException::endOfFile, 0, path);
        file.Close();
    } catch (const CFileException& e) {
        CFileExeptionErrorMsgs::GetFileExceptionMsg(e);
        return Fail(selector);
    } catch (const std::bad_alloc& e) {
        DebugOutput("Failed allocation from operator new.\r\n");
        Report(e.what(), "Allocation Error");
        return Fail(selector);
    } catch (const std::length_error&) {
        Report("The File size exceeds the buffer size in the DSP.", "File Too Big Error");
        return Fail(selector);
    } catch (...) {
        Report("Unknown Exception Caught.", "Unknown Error");
        return Fail(selector);
    }

    // A failed start does not stop the upload: the blocks decide.
    uint32_t success = m_comm.StartDSP_Flash(selector);
    m_view.SetProgressRange(EProgressBar::BulkErase, 0, static_cast<int32_t>(image.size() / DSP_BLOCK_MAX));
    m_view.SetProgressStep(EProgressBar::BulkErase, 1);
    m_view.SetProgressPos(EProgressBar::BulkErase, 0);
    success = 1;
    for (size_t offset = 0; offset < image.size();) {
        uint16_t n = static_cast<uint16_t>(std::min<size_t>(DSP_BLOCK_MAX, image.size() - offset));
        success = m_comm.WriteDSP_FlashBlock(selector, image.data() + offset, n);
        if (!success) break;
        offset += n;
        m_view.StepProgress(EProgressBar::BulkErase);
    }
    image.clear();
    image.shrink_to_fit();
    if (!success) return Fail(selector);

    m_view.SetProgressPos(EProgressBar::BulkErase, m_view.GetProgressUpper(EProgressBar::BulkErase));
    // The unit may be writing its flash even when its answer to the finish
    // is lost, so the wait runs either way; but an unconfirmed finish is not
    // reported as a completed update.
    const uint32_t finished = m_comm.FinishDSP_Flash(selector);
    m_view.Beep(1000, 10);
    for (int i = 0; i < DSP_WRITE_WAIT_STEPS; ++i) {
        m_clock.SleepMs(m_nWriteWaitStepMs);
        m_view.StepProgress(EProgressBar::PageProgram);
    }
    m_view.SetProgressPos(EProgressBar::PageProgram, m_view.GetProgressUpper(EProgressBar::PageProgram));
    if (!finished) {
        DebugOutput("FinishDSP_Flash() failed.\r\n");
        return Fail(selector);
    }
    m_view.Beep(1000, 100);
    std::string text = Dsp(selector) + " Flash Operation Completed.";
    if (selector && m_comm.GetDeviceLink() && m_comm.GetDeviceLink()->GetLinkType() == LINK_TYPE_NETWORK)
        text += " You must now reboot the TR52K before you can flash DSP1.";
    m_view.ShowMessageBox(text, Dsp(selector) + " Flash File", MB_OK);
    DebugOutput(text + "\r\n");
    DebugOutput(ElapsedTimeText(m_nStartClock, m_clock.NowMs()));
    m_view.RequestClose();
    return 1;
}
