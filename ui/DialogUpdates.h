// The dialog's side of the two update procedures: reads the path edits and
// radio buttons, calls the procedure with them, shows its progress in the
// bars and byte counters, and turns its outcome into the boxes and beeps.
// Toolkit-neutral: it talks to the controls through CUpdateView.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Clock.h"
#include "platform/UnitLock.h"
#include "protocol/TR52K1_Comm.h"
#include "ui/UpdateView.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"

// Shows an outcome's messages as boxes, error or plain as each says.
void ShowUpdateMessages(CUpdateView& view, const CUpdateOutcome& outcome);

// Takes the update lock of the unit the link reaches, before anything is
// written to it. Refused, it says so in the "Unit Busy" box and returns
// false. A link no other program can reach (one in memory) needs none.
bool TakeUnitLock(CTR52K1_Comm& comm, CUpdateView& view, std::unique_ptr<CUnitLock>* lock);

// Told of every update that reached as far as reading its image, when it
// has ended (the program keeps its history with it).
using UpdateEndedHandler = std::function<void(const CUpdateOutcome&, std::chrono::system_clock::time_point started)>;

class CDialogDspUpdate : public CUpdateProgress {
public:
    CDialogDspUpdate(CTR52K1_Comm& comm, CUpdateView& view, CClock& clock = SystemClock())
        : m_procedure(comm, clock), m_comm(comm), m_view(view), m_clock(clock) {}

    void BrowseDspFlashFile(uint32_t selector);
    CUpdateOutcome LoadDspFlashFile(uint32_t selector);

    CDspFlashUpdate m_procedure;
    // A DSP update that succeeds closes the program: refused while this
    // says another update would be abandoned.
    std::function<bool()> m_refuseWhile;
    UpdateEndedHandler m_onUpdateEnded;

    void OnStage(EUpdateStage stage, uint32_t total) override;
    void OnStep(EUpdateStage stage, uint32_t done) override;
    void OnBytes(uint64_t, uint64_t) override {}
    void OnRetry(const std::string&) override {}

private:
    CTR52K1_Comm& m_comm;
    CUpdateView& m_view;
    CClock& m_clock;
};

class CDialogEepromUpdate : public CUpdateProgress {
public:
    CDialogEepromUpdate(CTR52K1_Comm& comm, CUpdateView& view, CTickerFlags& flags = ProcessTickerFlags(),
                        CClock& clock = SystemClock())
        : m_procedure(comm, flags, clock), m_comm(comm), m_view(view) {}
    ~CDialogEepromUpdate() override;

    void OnBnClickedEepromBrowse();
    void OnBnClickedEepromLoad();
    void OnEepromEraseTick();
    void OnEepromPageTick();
    void OnExtraBytesCheck(uintptr_t wParam);
    void OnBnClickedEeprom(int32_t index);
    void OnBnDoubleClickedEeprom(int32_t index);

    // Ends a running update now, as interrupted, for a window that is
    // closing: its history is written, and no box is shown, since the user
    // has just chosen this.
    void StopForClose();

    bool UpdateRunning() const { return m_procedure.UpdateRunning(); }
    const CUpdateOutcome& Outcome() const { return m_procedure.Outcome(); }

    int32_t m_nSelectedEeprom = 0;
    CEepromUpdate m_procedure;
    UpdateEndedHandler m_onUpdateEnded;

    void OnStage(EUpdateStage stage, uint32_t total) override;
    void OnStep(EUpdateStage stage, uint32_t done) override;
    void OnBytes(uint64_t done, uint64_t total) override;
    void OnRetry(const std::string&) override {}
    bool StopRequested() override { return m_bStopRequested; }

private:
    void Finish(const CUpdateOutcome& outcome, bool showMessages = true);
    void EndBusy();

    CTR52K1_Comm& m_comm;
    CUpdateView& m_view;
    bool m_bBusyCursor = false;
    bool m_bStopRequested = false;
    std::chrono::system_clock::time_point m_started;
    // Held from Load to the end of the update, whatever the end.
    std::unique_ptr<CUnitLock> m_unitLock;
};
