#include "update/EepromUpdate.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/DebugOutput.h"
#include "platform/Sha256.h"
#include "platform/Text.h"
#include "update/DspFlashUpdate.h"


ESelectResult SelectAndConfirmEeprom(CTR52K1_Comm& comm, uint32_t index, CUpdateOutcome* outcome) {
    outcome->selectAcknowledged = comm.SelectFPGA_ConfigEEPROM(index) != 0;
    if (!outcome->selectAcknowledged) return ESelectResult::NotAcknowledged;
    const bool current = ConfirmCurrentEeprom(comm, index, outcome);
    if (!outcome->directoryRead) return ESelectResult::DirectoryNotRead;
    return current ? ESelectResult::Current : ESelectResult::NotCurrent;
}

std::string NotCurrentText(const CUpdateOutcome& o) {
    if (o.currentEeprom)
        return Format("EEPROM_%u was written, but the unit reports EEPROM_%d as its current EEPROM.", o.target,
                      *o.currentEeprom);
    return Format("EEPROM_%u was written, but the unit's directory names no EEPROM as current (word 43 reads %u).",
                  o.target, static_cast<unsigned>(o.currentEepromWord.value_or(0)));
}

bool ConfirmCurrentEeprom(CTR52K1_Comm& comm, uint32_t index, CUpdateOutcome* outcome) {
    outcome->currentEeprom.reset();
    outcome->currentEepromWord.reset();
    outcome->imageId.reset();
    {
        CTR52K1_Comm::COwnFrameScope own(comm);
        outcome->directoryRead = comm.ReadEepromDirectory() != 0;
    }
    if (!outcome->directoryRead) return false;
    if (index < EEPROM_COUNT) outcome->imageId = comm.m_dwEepromImageId[index];
    const uint16_t word = comm.m_wCurrentEepromWord;
    outcome->currentEepromWord = word;
    if (word < EEPROM_COUNT) outcome->currentEeprom = word;
    return word == index;
}

namespace {
// The boxes of each ending, in the order they are shown. The completion
// box follows the steps after programming whether they succeeded or not,
// so a failed one is told first.
std::vector<CUpdateMessage> EepromMessages(const CUpdateOutcome& o, const std::string& elapsed) {
    const CUpdateMessage completed{"DP FPGA Configuration EEPROM Update has completed.", elapsed, false};
    const CUpdateMessage pageFailed{"WriteFPGA_ConfigEEPROM_Page() failed.", "Serial Port Error"};
    switch (o.result) {
        case EUpdateResult::Completed: return {completed};
        case EUpdateResult::Busy:
            return {{"An EEPROM update is already running. Wait for it to complete before loading again.",
                     "EEPROM Update Busy"}};
        case EUpdateResult::InvalidFileName:
        case EUpdateResult::InvalidFlashFile:
            return {{"File chosen is not a valid file for the Dual Purpose FPGA", "Invalid Flash File"}};
        case EUpdateResult::FileUnreadable:
            return {{"The image file " + o.imagePath + " could not be read; nothing was sent to the unit.",
                     "File Error"}};
        case EUpdateResult::FileTooBig:
            return {{Format("The image of %llu bytes does not fit the 16 MiB address range of a configuration "
                            "EEPROM.",
                            static_cast<unsigned long long>(o.imageSize)),
                     "File Too Big Error"}};
        case EUpdateResult::AllocationFailed: return {{o.fileError, "Allocation Error"}};
        case EUpdateResult::UnknownException: return {{"Unknown Exception Caught.", "Unknown Error"}};
        case EUpdateResult::EraseNotAcknowledged:
        case EUpdateResult::EraseNotConfirmed:
            return {{"BulkEraseFPGA_ConfigEEPROM() failed.", "Serial Port Error"}};
        case EUpdateResult::EraseTimedOut:
            return {{Format("BulkEraseFPGA_ConfigEEPROM() did not complete within %u s; the EEPROM may be left erased.",
                            o.eraseTimeoutS),
                     "Serial Port Error"}};
        case EUpdateResult::EraseStatusFailed:
        case EUpdateResult::PageNotAcknowledged: return {pageFailed};
        case EUpdateResult::SelectNotAcknowledged:
            return {{"SelectFPGA_ConfigEEPROM() failed.", "Serial Port Error"}, completed};
        case EUpdateResult::DirectoryNotRead:
            return {{"ReadEepromDirectory() failed.", "Serial Port Error"}, completed};
        case EUpdateResult::NotCurrent: return {{NotCurrentText(o), "EEPROM Not Current"}, completed};
        case EUpdateResult::ModeUnknown:
            return {{"The operational mode could not be read before the update, so it was not restored.",
                     "Operational Mode Not Restored"},
                    completed};
        case EUpdateResult::ModeOutOfRange:
            return {{Format("The operational mode read before the update (%d) cannot be sent back.",
                            o.modeBefore.value_or(-1)),
                     "Operational Mode Not Restored"},
                    completed};
        case EUpdateResult::Interrupted:
            return {{Format("The update of EEPROM_%u was interrupted after %u of %u pages; the EEPROM is erased and "
                            "only partly written.",
                            o.target, o.pagesAcknowledged, o.pagesTotal),
                     "EEPROM Update Interrupted"}};
        case EUpdateResult::ModeNotRestored:
            return {{Format("Set operational mode %d failed.", o.modeBefore.value_or(-1)), "Serial Port Error"},
                    completed};
        default: return {{UpdateResultText(o.result), "EEPROM Update"}};
    }
}
}  // namespace

CEepromUpdate::~CEepromUpdate() {
    m_flags.g_bEepromEraseActive = 0;
    m_flags.g_bEepromPageProgramActive = 0;
}

bool CEepromUpdate::LinkLost() {
    // Nothing reconnects a closed connection, so retrying cannot help.
    CBaseClass* link = m_comm.GetDeviceLink();
    return link && link->GetLinkType() == LINK_TYPE_NETWORK && !link->IsConnected();
}

// Ends the update with `result`; its texts go to the trace, except the
// refusals that leave no trace. Always true, for the tick handlers.
bool CEepromUpdate::End(EUpdateResult result) {
    m_flags.g_bEepromEraseActive = 0;
    m_flags.g_bEepromPageProgramActive = 0;
    m_outcome.result = result;
    m_outcome.endMs = m_clock.NowMs();
    m_outcome.eraseTimeoutS = m_nEraseTimeoutMs / 1000;
    const std::string elapsed = ElapsedTimeText(m_outcome.startMs, m_outcome.endMs);
    m_outcome.messages = EepromMessages(m_outcome, elapsed);
    const bool quiet = result == EUpdateResult::InvalidFileName || result == EUpdateResult::InvalidFlashFile;
    if (!quiet)
        for (const CUpdateMessage& m : m_outcome.messages)
            DebugOutput(m.error ? m.text + "\r\n" : elapsed);
    m_image.clear();
    m_image.shrink_to_fit();
    m_pProgress = &m_noProgress;
    m_bRunning = false;
    return true;
}

CUpdateOutcome CEepromUpdate::Load(int32_t index, const std::string& path, CUpdateProgress& progress) {
    // A second Load would erase again and replace the running update's state.
    if (m_bRunning) {
        CUpdateOutcome busy;
        busy.kind = EUpdateKind::ConfigEeprom;
        busy.result = EUpdateResult::Busy;
        busy.target = static_cast<uint32_t>(index);
        busy.imagePath = path;
        busy.messages = EepromMessages(busy, "");
        return busy;
    }
    m_outcome = CUpdateOutcome{};
    m_outcome.kind = EUpdateKind::ConfigEeprom;
    m_outcome.startMs = m_clock.NowMs();
    m_outcome.target = static_cast<uint32_t>(std::clamp(index, 0, EEPROM_COUNT - 1));
    m_outcome.imagePath = path;
    // Only a mode the unit reported can be sent back after programming.
    if (m_comm.m_bOperationalModeRead) m_outcome.modeBefore = m_comm.m_nOperationalMode;
    m_pProgress = &progress;
    m_nBytesWritten = 0;
    m_nPageFailures = 0;
    m_nEraseTicks = 0;

    // Everything about the file is settled before the unit is touched: a
    // mistyped path must not leave an erased EEPROM behind.
    EUpdateResult r = CheckImagePath(EUpdateKind::ConfigEeprom, m_outcome.target, path);
    if (r == EUpdateResult::Completed)
        r = ReadImageFile(path, ImageSizeLimit(EUpdateKind::ConfigEeprom), &m_image, &m_outcome);
    // Whole pages, 0xFF beyond the file; always at least one more byte
    // than the file, so an empty file still writes one page. The padding
    // allocates, so it is guarded like the read.
    if (r == EUpdateResult::Completed)
        r = GuardImageStep(&m_image, &m_outcome, [this] {
            const uint32_t total = static_cast<uint32_t>((m_outcome.imageSize & ~uint64_t{0xFF}) + EEPROM_PAGE_SIZE);
            m_image.resize(total, 0xFF);
            m_outcome.sentSha256 = Sha256Hex(m_image.data(), m_image.size());
            m_nBytesToWrite = total;
        });
    if (r != EUpdateResult::Completed) return End(r), m_outcome;
    m_outcome.bytesToWrite = m_nBytesToWrite;
    m_outcome.pagesTotal = m_nBytesToWrite / EEPROM_PAGE_SIZE;

    const bool erased = m_comm.BulkEraseFPGA_ConfigEEPROM(m_outcome.target) != 0;
    m_outcome.writeSent = m_comm.LastRequestSent();
    if (!erased) return End(EUpdateResult::EraseNotAcknowledged), m_outcome;
    m_outcome.eraseAcknowledged = true;
    m_nEraseStartMs = m_clock.NowMs();
    m_bRunning = true;
    progress.OnStage(EUpdateStage::Erase, 0);
    m_flags.g_bEepromEraseActive = 1;
    return m_outcome;
}

bool CEepromUpdate::OnEepromEraseTick() {
    if (!m_bRunning) return false;
    m_pProgress->OnStep(EUpdateStage::Erase, ++m_nEraseTicks);
    if (m_pProgress->StopRequested()) return End(EUpdateResult::Interrupted);
    const uint32_t ok = m_comm.ReadContinuousStatus();
    if (!m_comm.m_bEraseComplete) {
        // Polled again at the next tick while the connection stands; nothing
        // reconnects one that is gone.
        if (!ok && LinkLost()) return End(EUpdateResult::EraseNotConfirmed);
        if (m_nEraseTimeoutMs && m_clock.NowMs() - m_nEraseStartMs >= m_nEraseTimeoutMs)
            return End(EUpdateResult::EraseTimedOut);
        return false;
    }
    m_flags.g_bEepromEraseActive = 0;
    // Still set from an earlier update: this tick's read confirmed nothing.
    if (!ok) return End(EUpdateResult::EraseStatusFailed);
    m_outcome.eraseCompleted = true;
    m_pProgress->OnStage(EUpdateStage::Program, m_outcome.pagesTotal);
    m_flags.g_bEepromPageProgramActive = 1;
    return false;
}

bool CEepromUpdate::OnEepromPageTick() {
    m_flags.g_bEepromEraseActive = 0;
    m_flags.g_bEepromPageProgramActive = 0;
    if (!m_bRunning) return false;
    bool lastOk = false;
    for (int i = 0; i < PAGES_PER_TICK; ++i) {
        if (m_pProgress->StopRequested()) return End(EUpdateResult::Interrupted);
        const uint32_t page = m_nBytesWritten / EEPROM_PAGE_SIZE;
        lastOk = m_comm.WriteFPGA_ConfigEEPROM_Page(m_outcome.target, m_nBytesWritten,
                                                    m_image.data() + m_nBytesWritten) != 0;
        if (lastOk) {
            m_nBytesWritten += std::min<uint32_t>(EEPROM_PAGE_SIZE, m_nBytesToWrite - m_nBytesWritten);
            m_nPageFailures = 0;
            ++m_outcome.pagesAcknowledged;
            m_pProgress->OnStep(EUpdateStage::Program, m_outcome.pagesAcknowledged);
        } else if (++m_nPageFailures >= MAX_PAGE_FAILURES || LinkLost()) {
            // The same page keeps failing: an unplugged unit must not leave
            // the update retrying for ever without a word.
            return End(EUpdateResult::PageNotAcknowledged);
        } else {
            ++m_outcome.pageRetries;
            // The retry goes out once the unacknowledged write's reply has
            // come or its time-out has passed again (the command object's
            // rule), so its acknowledgement is its own.
            m_pProgress->OnRetry(Format("page %u of %u was not acknowledged, writing it again (%d/%d)", page + 1,
                                        m_outcome.pagesTotal, m_nPageFailures, MAX_PAGE_FAILURES - 1));
        }
        if (m_nBytesWritten >= m_nBytesToWrite) {
            Complete(lastOk);
            if (m_outcome.Succeeded()) m_pProgress->OnBytes(m_nBytesWritten, m_nBytesToWrite);
            return End(m_outcome.result);
        }
    }
    m_flags.g_bEepromPageProgramActive = 1;
    if (lastOk) m_pProgress->OnBytes(m_nBytesWritten, m_nBytesToWrite);
    return false;
}

void CEepromUpdate::RunUnpaced() {
    while (m_bRunning) {
        if (m_flags.g_bEepromEraseActive.load()) {
            m_clock.SleepMs(UNPACED_ERASE_POLL_MS);
            OnEepromEraseTick();
        } else if (m_flags.g_bEepromPageProgramActive.load()) {
            OnEepromPageTick();
        } else {
            m_clock.SleepMs(1);  // between phases; never expected, never a spin
        }
    }
}

void CEepromUpdate::RunPaced(CDebugSink* trace) {
    auto target = std::make_shared<CEepromTickerTarget>(*this, trace);
    const uintptr_t handle = RegisterTickerTarget(target);
    TickerAttachWindow(m_flags, handle);
    std::thread ticker = StartJoinableTicker(m_flags, m_clock);
    while (m_bRunning) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    m_flags.g_bTickerRun = 0;
    ticker.join();
    UnregisterTickerTarget(handle);
}

// Select, re-read the directory, send the mode back. Sets the result; the
// first step that fails decides it, but the mode is still sent back after
// a directory that shows another EEPROM current.
void CEepromUpdate::Complete(bool lastWriteOk) {
    m_pProgress->OnStage(EUpdateStage::Select, 0);
    if (!lastWriteOk) {
        m_outcome.result = EUpdateResult::PageNotAcknowledged;
        return;
    }
    const ESelectResult selected = SelectAndConfirmEeprom(m_comm, m_outcome.target, &m_outcome);
    if (selected == ESelectResult::NotAcknowledged || selected == ESelectResult::DirectoryNotRead) {
        m_outcome.result = selected == ESelectResult::NotAcknowledged ? EUpdateResult::SelectNotAcknowledged
                                                                       : EUpdateResult::DirectoryNotRead;
        return;
    }
    EUpdateResult result = selected == ESelectResult::Current ? EUpdateResult::Completed : EUpdateResult::NotCurrent;
    if (!m_outcome.modeBefore) {
        if (result == EUpdateResult::Completed) result = EUpdateResult::ModeUnknown;
    } else if (*m_outcome.modeBefore < 0 || *m_outcome.modeBefore >= 4) {
        if (result == EUpdateResult::Completed) result = EUpdateResult::ModeOutOfRange;
    } else {
        m_outcome.modeRestored = m_comm.SetOperationalMode(static_cast<uint8_t>(*m_outcome.modeBefore)) != 0;
        if (!m_outcome.modeRestored && result == EUpdateResult::Completed) result = EUpdateResult::ModeNotRestored;
    }
    m_outcome.result = result;
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
