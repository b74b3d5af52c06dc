#include "update/EepromUpdate.h"

#include <algorithm>
#include <new>

#include "link/FileExeptionErrorMsgs.h"
#include "platform/DebugOutput.h"
#include "platform/ErrorText.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"
#include "update/DspFlashUpdate.h"

using namespace win32;

std::string WithThousandsCommas(uint32_t value) {
    std::string digits = std::to_string(value), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

CEepromUpdate::~CEepromUpdate() { Release(); }

bool CEepromUpdate::LinkLost() {
    // Nothing reconnects a closed connection, so retrying cannot help.
    CBaseClass* link = m_comm.GetDeviceLink();
    return link && link->GetLinkType() == LINK_TYPE_NETWORK && !link->IsConnected();
}

void CEepromUpdate::Release() {
    if (m_bBusyCursor) m_view.EndBusy();
    m_bBusyCursor = false;
    m_image.clear();
    m_image.shrink_to_fit();
}

void CEepromUpdate::Stop(const std::string& text, const std::string& caption, bool trace) {
    m_flags.g_bEepromEraseActive = 0;
    m_flags.g_bEepromPageProgramActive = 0;
    const bool wasRunning = m_bRunning;
    m_bRunning = false;
    Release();
    if (wasRunning) m_bLastUpdateComplete = false;
    m_strLastError = text;
    m_view.ShowMessageBox(text, caption, MB_ICONERROR);
    if (trace) DebugOutput(text + "\r\n");
}

void CEepromUpdate::OnBnClickedEepromBrowse() {
    std::string path;
    if (!ChooseImageFile(m_view, &path)) return;
    if (path.find("tr52K") == std::string::npos)
        m_view.ShowMessageBox("File chosen is not a valid file for the DP FPGA", "Invalid Flash File", MB_ICONERROR);
    else
        m_view.SetText(EUpdateText::EepromFile, path);
}

void CEepromUpdate::OnBnClickedEepromLoad() {
    // A second Load would erase again and replace the running update's state.
    if (m_bRunning) {
        m_view.ShowMessageBox("An EEPROM update is already running. Wait for it to complete before loading again.",
                              "EEPROM Update Busy", MB_ICONERROR);
        return;
    }
    m_nStartClock = m_clock.NowMs();
    m_view.BeginBusy();
    m_bBusyCursor = true;
    int32_t checked = m_view.FirstCheckedEeprom();
    if (checked >= 0) m_nSelectedEeprom = checked;
    if (m_nSelectedEeprom >= EEPROM_COUNT) m_nSelectedEeprom = EEPROM_COUNT - 1;
    if (m_nSelectedEeprom < 0) m_nSelectedEeprom = 0;
    m_nTargetEeprom = m_nSelectedEeprom;
    m_nSavedOperationalMode = m_comm.m_nOperationalMode;

    // Everything about the file is settled before the unit is touched: a
    // mistyped path must not leave an erased EEPROM behind.
    const std::string path = m_view.GetText(EUpdateText::EepromFile);
    if (path.find("tr52K") == std::string::npos) {
        Stop("File chosen is not a valid file for the Dual Purpose FPGA", "Invalid Flash File", false);
        return;
    }
    try {
        CImageFile file;
        CFileException error(0, 0, path);
        if (!file.Open(path, &error)) throw error;
        uint64_t length = file.GetLength();
        uint64_t padded = (length & ~uint64_t{0xFF}) + EEPROM_PAGE_SIZE;
        if (padded > EEPROM_IMAGE_MAX) {
            Stop(Format("The image of %llu bytes does not fit the 16 MiB address range of a configuration EEPROM.",
                        static_cast<unsigned long long>(length)),
                 "File Too Big Error", true);
            return;
        }
        m_nBytesToWrite = static_cast<uint32_t>(padded);
        m_image.assign(m_nBytesToWrite, 0xFF);
        uint32_t got = file.Read(m_image.data(), static_cast<uint32_t>(length));
        uint8_t probe;
        if (got != length || file.Read(&probe, 1) != 0) throw CFileException(CFileException::endOfFile, 0, path);
        file.Close();
    } catch (const CFileException& e) {
        CFileExeptionErrorMsgs::GetFileExceptionMsg(e);
        Stop("The image file " + path + " could not be read; nothing was sent to the unit.", "File Error", true);
        return;
    } catch (const std::bad_alloc& e) {
        DebugOutput("Failed allocation from operator new.\r\n");
        Stop(e.what(), "Allocation Error", true);
        return;
    } catch (...) {
        Stop("Unknown Exception Caught.", "Unknown Error", true);
        return;
    }

    if (!m_comm.BulkEraseFPGA_ConfigEEPROM(static_cast<uint32_t>(m_nTargetEeprom))) {
        Stop("BulkEraseFPGA_ConfigEEPROM() failed.", "Serial Port Error", true);
        return;
    }
    m_view.SetLabel(EProgressLabel::BulkErase, "Bulk Erase:");
    m_view.SetLabel(EProgressLabel::PageProgram, "Prgrm Pages:");
    m_nBytesWritten = 0;
    m_nPageFailures = 0;
    m_nStatusFailures = 0;
    m_view.SetText(EUpdateText::BytesToWrite, WithThousandsCommas(m_nBytesToWrite));
    m_view.SetProgressRange(EProgressBar::PageProgram, 0, static_cast<int32_t>(m_nBytesToWrite / EEPROM_PAGE_SIZE));
    m_view.SetProgressStep(EProgressBar::PageProgram, 1);
    m_view.SetProgressPos(EProgressBar::PageProgram, 0);
    m_view.SetText(EUpdateText::BytesWritten, "");
    m_bRunning = true;
    m_bLastUpdateComplete = false;
    m_strLastError.clear();
    m_flags.g_bEepromEraseActive = 1;
}

void CEepromUpdate::OnEepromEraseTick() {
    if (!m_bRunning) return;
    m_view.StepProgress(EProgressBar::BulkErase);
    uint32_t ok = m_comm.ReadContinuousStatus();
    m_nStatusFailures = ok ? 0 : m_nStatusFailures + 1;
    if (!m_comm.m_bEraseComplete) {
        // Polled again at the next tick, but not for ever: a unit that has
        // stopped answering, or a connection that is gone, ends the update.
        if (!ok && (m_nStatusFailures >= MAX_STATUS_FAILURES || LinkLost()))
            Stop("BulkEraseFPGA_ConfigEEPROM() failed.", "Serial Port Error", true);
        return;
    }
    m_flags.g_bEepromEraseActive = 0;
    m_view.SetProgressPos(EProgressBar::BulkErase, 255);
    if (!ok) {
        Stop("WriteFPGA_ConfigEEPROM_Page() failed.", "Serial Port Error", true);
        return;
    }
    m_flags.g_bEepromPageProgramActive = 1;
}

void CEepromUpdate::OnEepromPageTick() {
    m_flags.g_bEepromEraseActive = 0;
    m_flags.g_bEepromPageProgramActive = 0;
    if (!m_bRunning) return;
    bool lastOk = false;
    for (int i = 0; i < PAGES_PER_TICK; ++i) {
        lastOk = m_comm.WriteFPGA_ConfigEEPROM_Page(static_cast<uint32_t>(m_nTargetEeprom), m_nBytesWritten,
                                                    m_image.data() + m_nBytesWritten) != 0;
        if (lastOk) {
            // A retry may have been answered by the late reply to the attempt
            // before it: its own answer then follows, and is dropped here.
            if (m_nPageFailures > 0)
                if (CBaseClass* link = m_comm.GetDeviceLink()) link->FlushReceive();
            m_nBytesWritten += std::min<uint32_t>(EEPROM_PAGE_SIZE, m_nBytesToWrite - m_nBytesWritten);
            m_nPageFailures = 0;
            m_view.StepProgress(EProgressBar::PageProgram);
        } else if (++m_nPageFailures >= MAX_PAGE_FAILURES || LinkLost()) {
            // The same page keeps failing: an unplugged unit must not leave
            // the update retrying for ever without a word.
            Stop("WriteFPGA_ConfigEEPROM_Page() failed.", "Serial Port Error", true);
            return;
        } else if (CBaseClass* link = m_comm.GetDeviceLink()) {
            // A late or stray reply still on its way would be read as the
            // retry's acknowledgement and shift every one after it.
            link->FlushReceive();
        }
        if (m_nBytesWritten >= m_nBytesToWrite) {
            bool chainOk = false;
            Complete(lastOk, &chainOk);
            lastOk = chainOk;
            break;
        }
    }
    if (m_bRunning && m_nBytesWritten < m_nBytesToWrite) m_flags.g_bEepromPageProgramActive = 1;
    if (lastOk) m_view.SetText(EUpdateText::BytesWritten, WithThousandsCommas(m_nBytesWritten));
}

void CEepromUpdate::Complete(bool lastWriteOk, bool* chainOk) {
    m_view.SetProgressPos(EProgressBar::PageProgram, m_view.GetProgressUpper(EProgressBar::PageProgram));
    m_bRunning = false;
    m_bLastUpdateComplete = true;
    Release();
    // A reply left over from an exchange that timed out would otherwise be
    // taken for the select's acknowledgement, and the directory read after
    // it would decode the select's own reply.
    if (lastWriteOk)
        if (CBaseClass* link = m_comm.GetDeviceLink()) link->FlushReceive();
    bool ok = lastWriteOk && m_comm.SelectFPGA_ConfigEEPROM(static_cast<uint32_t>(m_nTargetEeprom)) &&
              m_comm.ReadEepromDirectory() && m_nSavedOperationalMode < 4;
    if (ok) ok = m_comm.SetOperationalMode(static_cast<uint8_t>(m_nSavedOperationalMode)) != 0;
    *chainOk = ok;
    m_view.ShowEepromDirectory();
    const std::string elapsed = ElapsedTimeText(m_nStartClock, m_clock.NowMs());
    m_view.ShowMessageBox("DP FPGA Configuration EEPROM Update has completed.", elapsed, MB_OK);
    DebugOutput(elapsed);
}

void CEepromUpdate::OnExtraBytesCheck(uintptr_t wParam) {
    if (!m_flags.g_bEepromEraseActive) return;
    const char* text = wParam == WM_EEPROM_ERASE_TICK
                           ? "Extra bytes found after a ContinuousStatus Read 0x1023 Command message:\r\n"
                       : wParam == WM_EEPROM_PAGE_TICK ? "Extra bytes found after a Send 0x1021 Command message:\r\n"
                                                       : "Extra bytes found after an unknown message:\r\n";
    CBaseClass* link = m_comm.GetDeviceLink();
    if (link && link->FlushReceive() != 0) DebugOutput(text);
}

void CEepromUpdate::OnBnClickedEeprom(int32_t index) {
    m_nSelectedEeprom = index;
    m_view.ShowSelectedEeprom(m_nSelectedEeprom);
}

void CEepromUpdate::OnBnDoubleClickedEeprom(int32_t index) {
    // Making another EEPROM current in the middle of programming would
    // leave the unit running from a half-written configuration.
    if (m_bRunning) {
        m_view.ShowMessageBox("An EEPROM update is running. The current EEPROM can be changed once it has completed.",
                              "EEPROM Update Busy", MB_ICONERROR);
        m_view.ShowSelectedEeprom(m_nSelectedEeprom);
        return;
    }
    m_view.BeginBusy();
    m_nSelectedEeprom = index;
    if (m_comm.SelectFPGA_ConfigEEPROM(static_cast<uint32_t>(index))) m_comm.ReadEepromDirectory();
    m_view.ShowSelectedEeprom(m_nSelectedEeprom);
    m_view.ShowEepromDirectory();
    m_view.EndBusy();
}
