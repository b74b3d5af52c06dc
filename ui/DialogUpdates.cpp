#include "ui/DialogUpdates.h"

#include <algorithm>

#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "update/ImageFile.h"


namespace {
class CBusy {
public:
    explicit CBusy(CUpdateView& v) : m_view(v) { m_view.BeginBusy(); }
    ~CBusy() { m_view.EndBusy(); }

private:
    CUpdateView& m_view;
};

EUpdateText DspPathEdit(uint32_t selector) { return selector ? EUpdateText::Dsp2File : EUpdateText::Dsp1File; }
}  // namespace

void ShowUpdateMessages(CUpdateView& view, const CUpdateOutcome& outcome) {
    for (const CUpdateMessage& m : outcome.messages)
        view.ShowMessageBox(m.text, m.caption, m.error ? EMessageKind::Error : EMessageKind::Plain);
}

bool TakeUnitLock(CTR52K1_Comm& comm, CUpdateView& view, std::unique_ptr<CUnitLock>* lock) {
    lock->reset();
    CBaseClass* link = comm.GetDeviceLink();
    if (!link || link->GetLinkType() != LINK_TYPE_NETWORK) return true;
    *lock = std::make_unique<CUnitLock>(link->GetRemoteAddress(), link->GetRemotePort());
    if ((*lock)->Held()) return true;
    view.ShowMessageBox((*lock)->Refusal(), "Unit Busy", EMessageKind::Error);
    lock->reset();
    return false;
}

// --- DSP ----------------------------------------------------------------------

void CDialogDspUpdate::BrowseDspFlashFile(uint32_t selector) {
    std::string path;
    if (!ChooseImageFile(m_view, &path)) return;
    const std::string fault = ImagePathFault(EUpdateKind::DspFlash, selector, path);
    if (!fault.empty())
        m_view.ShowMessageBox(fault, "Invalid Flash File", EMessageKind::Error);
    else
        m_view.SetText(DspPathEdit(selector), path);
}

CUpdateOutcome CDialogDspUpdate::LoadDspFlashFile(uint32_t selector) {
    if (m_refuseWhile && m_refuseWhile()) {
        CUpdateOutcome busy;
        busy.result = EUpdateResult::Busy;
        busy.target = selector;
        busy.messages = {{"An EEPROM update is running. Load the DSP image once it has completed.",
                          "EEPROM Update Busy"}};
        ShowUpdateMessages(m_view, busy);
        return busy;
    }
    std::unique_ptr<CUnitLock> lock;
    if (!TakeUnitLock(m_comm, m_view, &lock)) {
        CUpdateOutcome refused;
        refused.result = EUpdateResult::Busy;
        refused.target = selector;
        return refused;
    }
    CBusy busy(m_view);
    m_view.SetLabel(EProgressLabel::BulkErase, "Uploading:");
    m_view.SetLabel(EProgressLabel::PageProgram, "Writing:");
    m_view.SetProgressStep(EProgressBar::BulkErase, 1);
    m_view.SetProgressPos(EProgressBar::BulkErase, 0);
    m_view.SetProgressRange(EProgressBar::PageProgram, 0, DSP_WRITE_WAIT_STEPS);
    m_view.SetProgressStep(EProgressBar::PageProgram, 1);
    m_view.SetProgressPos(EProgressBar::PageProgram, 0);

    const auto started = std::chrono::system_clock::now();
    const CUpdateOutcome o = m_procedure.LoadDspFlashFile(selector, m_view.GetText(DspPathEdit(selector)), *this);
    if (o.imageRead && m_onUpdateEnded) m_onUpdateEnded(o, started);
    if (o.writeWaitDone)
        m_view.SetProgressPos(EProgressBar::PageProgram, m_view.GetProgressUpper(EProgressBar::PageProgram));
    if (o.Succeeded()) {
        m_view.Beep(1000, 100);
        ShowUpdateMessages(m_view, o);
        DebugOutput(ElapsedTimeText(o.startMs, m_clock.NowMs()));
        m_view.RequestClose();
        return o;
    }
    // A name that fails its checks is only told; every other ending is a
    // failed download, with its beep.
    if (o.result != EUpdateResult::InvalidFileName && o.result != EUpdateResult::InvalidFlashFile)
        m_view.Beep(100, 100);
    ShowUpdateMessages(m_view, o);
    return o;
}

void CDialogDspUpdate::OnStage(EUpdateStage stage, uint32_t total) {
    if (stage == EUpdateStage::Upload) {
        m_view.SetProgressRange(EProgressBar::BulkErase, 0, static_cast<int32_t>(total));
        m_view.SetProgressStep(EProgressBar::BulkErase, 1);
        m_view.SetProgressPos(EProgressBar::BulkErase, 0);
    } else if (stage == EUpdateStage::WriteWait) {
        m_view.SetProgressPos(EProgressBar::BulkErase, m_view.GetProgressUpper(EProgressBar::BulkErase));
        m_view.Beep(1000, 10);
    }
}

void CDialogDspUpdate::OnStep(EUpdateStage stage, uint32_t) {
    if (stage == EUpdateStage::Upload) m_view.StepProgress(EProgressBar::BulkErase);
    else if (stage == EUpdateStage::WriteWait) m_view.StepProgress(EProgressBar::PageProgram);
}

// --- EEPROM -------------------------------------------------------------------

CDialogEepromUpdate::~CDialogEepromUpdate() { EndBusy(); }

void CDialogEepromUpdate::EndBusy() {
    if (m_bBusyCursor) m_view.EndBusy();
    m_bBusyCursor = false;
}

void CDialogEepromUpdate::OnBnClickedEepromBrowse() {
    std::string path;
    if (!ChooseImageFile(m_view, &path)) return;
    const std::string fault = ImagePathFault(EUpdateKind::ConfigEeprom, 0, path);
    if (!fault.empty())
        m_view.ShowMessageBox(fault, "Invalid Flash File", EMessageKind::Error);
    else
        m_view.SetText(EUpdateText::EepromFile, path);
}

void CDialogEepromUpdate::OnBnClickedEepromLoad() {
    if (m_procedure.UpdateRunning()) {
        ShowUpdateMessages(m_view, m_procedure.Load(m_nSelectedEeprom, "", *this));
        return;
    }
    if (!TakeUnitLock(m_comm, m_view, &m_unitLock)) return;
    m_view.BeginBusy();
    m_bBusyCursor = true;
    const int32_t checked = m_view.FirstCheckedEeprom();
    if (checked >= 0) m_nSelectedEeprom = checked;
    m_nSelectedEeprom = std::clamp(m_nSelectedEeprom, 0, EEPROM_COUNT - 1);
    m_started = std::chrono::system_clock::now();
    const CUpdateOutcome o = m_procedure.Load(m_nSelectedEeprom, m_view.GetText(EUpdateText::EepromFile), *this);
    if (o.result != EUpdateResult::InProgress) Finish(o);
}

void CDialogEepromUpdate::OnEepromEraseTick() {
    if (m_procedure.OnEepromEraseTick()) Finish(m_procedure.Outcome());
}

void CDialogEepromUpdate::OnEepromPageTick() {
    if (m_procedure.OnEepromPageTick()) Finish(m_procedure.Outcome());
}

void CDialogEepromUpdate::OnExtraBytesCheck(uintptr_t wParam) { m_procedure.OnExtraBytesCheck(wParam); }

void CDialogEepromUpdate::StopForClose() {
    if (!m_procedure.UpdateRunning()) return;
    // The procedure asks at the start of either step; the step that fits
    // the phase ends it there, before anything more is sent.
    m_bStopRequested = true;
    const bool ended = m_procedure.Outcome().eraseCompleted ? m_procedure.OnEepromPageTick()
                                                             : m_procedure.OnEepromEraseTick();
    m_bStopRequested = false;
    if (ended) Finish(m_procedure.Outcome(), false);
}

void CDialogEepromUpdate::Finish(const CUpdateOutcome& o, bool showMessages) {
    m_unitLock.reset();
    EndBusy();
    if (o.imageRead && m_onUpdateEnded) m_onUpdateEnded(o, m_started);
    // Every page went out: the directory shows whatever the unit now says.
    if (o.pagesTotal && o.pagesAcknowledged == o.pagesTotal) m_view.ShowEepromDirectory();
    if (showMessages) ShowUpdateMessages(m_view, o);
}

void CDialogEepromUpdate::OnStage(EUpdateStage stage, uint32_t) {
    switch (stage) {
        case EUpdateStage::Erase: {
            m_view.SetLabel(EProgressLabel::BulkErase, "Bulk Erase:");
            m_view.SetLabel(EProgressLabel::PageProgram, "Prgrm Pages:");
            const uint32_t bytes = m_procedure.BytesToWrite();
            m_view.SetText(EUpdateText::BytesToWrite, WithThousandsCommas(bytes));
            m_view.SetProgressRange(EProgressBar::PageProgram, 0, static_cast<int32_t>(bytes / EEPROM_PAGE_SIZE));
            m_view.SetProgressStep(EProgressBar::PageProgram, 1);
            m_view.SetProgressPos(EProgressBar::PageProgram, 0);
            m_view.SetText(EUpdateText::BytesWritten, "");
            break;
        }
        case EUpdateStage::Program: m_view.SetProgressPos(EProgressBar::BulkErase, 255); break;
        case EUpdateStage::Select:
            m_view.SetProgressPos(EProgressBar::PageProgram, m_view.GetProgressUpper(EProgressBar::PageProgram));
            EndBusy();
            break;
        default: break;
    }
}

void CDialogEepromUpdate::OnStep(EUpdateStage stage, uint32_t) {
    if (stage == EUpdateStage::Erase) m_view.StepProgress(EProgressBar::BulkErase);
    else if (stage == EUpdateStage::Program) m_view.StepProgress(EProgressBar::PageProgram);
}

void CDialogEepromUpdate::OnBytes(uint64_t done, uint64_t) {
    m_view.SetText(EUpdateText::BytesWritten, WithThousandsCommas(static_cast<uint32_t>(done)));
}

void CDialogEepromUpdate::OnBnClickedEeprom(int32_t index) {
    m_nSelectedEeprom = index;
    m_view.ShowSelectedEeprom(m_nSelectedEeprom);
}

void CDialogEepromUpdate::OnBnDoubleClickedEeprom(int32_t index) {
    // Making another EEPROM current in the middle of programming would
    // leave the unit running from a half-written configuration.
    if (m_procedure.UpdateRunning()) {
        m_view.ShowMessageBox("An EEPROM update is running. The current EEPROM can be changed once it has completed.",
                              "EEPROM Update Busy", EMessageKind::Error);
        m_view.ShowSelectedEeprom(m_nSelectedEeprom);
        return;
    }
    std::unique_ptr<CUnitLock> lock;
    if (!TakeUnitLock(m_comm, m_view, &lock)) {
        m_view.ShowSelectedEeprom(m_nSelectedEeprom);
        return;
    }
    CBusy busy(m_view);
    m_nSelectedEeprom = index;
    CUpdateOutcome facts;  // the displays show what the re-read directory holds
    SelectAndConfirmEeprom(m_comm, static_cast<uint32_t>(index), &facts);
    m_view.ShowSelectedEeprom(m_nSelectedEeprom);
    m_view.ShowEepromDirectory();
}
