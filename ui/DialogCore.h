// The loader's one window, its behaviour once for every toolkit: start-up
// reads and which controls may be used, the displays of what the unit
// reports, Save, the direct commands, the DSP and EEPROM updates and the
// ticker's messages. It reaches its controls only through CDialogControls,
// addressed by the template's ids; Qt and Win32 bind their widgets to it.
// Every handler runs on the window's thread and calls the command object
// synchronously.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Beep.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "protocol/TR52K1_Comm.h"
#include "ui/DialogControls.h"
#include "ui/DialogUpdates.h"
#include "ui/UpdateView.h"
#include "update/Ticker.h"

class CTR52K_FlashFileLoaderDlg : public CUpdateView {
public:
    CTR52K_FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus, CRegistryStore& registry,
                              CDialogControls& controls, CMessageBox& box = GetMessageBox(),
                              CBeeper& beeper = GetBeeper());

    ~CTR52K_FlashFileLoaderDlg() override;

    // The start-up reads and displays, once; then the idle input is watched
    // and the ticker started, and the binding runs its loop.
    void OnInitDialog();
    // What the unit sends while no exchange runs (its status stream, a late
    // reply) is read and dropped as it arrives, so it never opens the next
    // reply. Exchanges never run the event loop, so none is in flight here.
    void OnIdleInput();
    // The window is going: no more idle input or ticks for it.
    void OnWindowGone();

    void ShowTargetAddress();
    uint32_t SaveTargetAddress();
    void ShowSelectedEeprom();
    void ShowEepromDirectory() override;
    void ShowDeviceInformation();
    void ShowOperationalMode();
    void ShowPingResult();

    void OnBnClickedSave();
    void OnBnClickedRead();
    void OnBnClickedPing();
    void OnBnClickedTurnOffConsolidatedStatus();
    void OnBnClickedTurnOffAllGraphs();
    void OnBnClickedOpMode(int mode);
    void OnBnClickedDsp1Browse() { m_dsp.BrowseDspFlashFile(0); }
    void OnBnClickedDsp1Load() { m_dsp.LoadDspFlashFile(0); }
    void OnBnClickedDsp2Browse() { m_dsp.BrowseDspFlashFile(1); }
    void OnBnClickedDsp2Load() { m_dsp.LoadDspFlashFile(1); }
    void OnBnClickedEepromBrowse() { m_eeprom.OnBnClickedEepromBrowse(); }
    void OnBnClickedEepromLoad() { m_eeprom.OnBnClickedEepromLoad(); }
    void OnBnClickedEeprom(int32_t k) { m_eeprom.OnBnClickedEeprom(k); }
    void OnBnDoubleClickedEeprom(int32_t k) { m_eeprom.OnBnDoubleClickedEeprom(k); }
    void OnTickerMessage(uint32_t message, uintptr_t wParam);
    // Escape, the close box, or the close after a DSP update: true when the
    // window may close. An EEPROM update running is asked about first; once
    // the user agrees it is stopped and recorded as interrupted.
    bool CanClose();

    // CUpdateView over the controls.
    void SetLabel(EProgressLabel label, const std::string& text) override;
    void SetProgressRange(EProgressBar bar, int32_t lower, int32_t upper) override;
    void SetProgressStep(EProgressBar bar, int32_t step) override;
    void SetProgressPos(EProgressBar bar, int32_t pos) override;
    void StepProgress(EProgressBar bar) override;
    int32_t GetProgressUpper(EProgressBar bar) override;
    std::string GetText(EUpdateText which) override;
    void SetText(EUpdateText which, const std::string& text) override;
    void ShowMessageBox(const std::string& text, const std::string& caption, EMessageKind kind) override;
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override { m_beeper.Beep(frequencyHz, durationMs); }
    void BeginBusy() override { m_controls.BeginBusyCursor(); }
    void EndBusy() override { m_controls.EndBusyCursor(); }
    EFileChoice ChooseFile(std::string* path, uint32_t* errorCode) override;
    int32_t FirstCheckedEeprom() override;
    void ShowSelectedEeprom(int32_t index) override;
    void RequestClose() override { m_controls.PostClose(); }

    CTR52K1_Comm* m_pComm;
    uint32_t m_bNoInitStatus;
    std::string m_strTargetIp;
    CDialogDspUpdate m_dsp;
    CDialogEepromUpdate m_eeprom;

private:
    void StopWatchingInput();

    CRegistryStore& m_registry;
    CDialogControls& m_controls;
    CMessageBox& m_box;
    CBeeper& m_beeper;
    int32_t m_steps[2] = {1, 1};
    bool m_bInitialised = false;
    bool m_bAskingToClose = false;
    intptr_t m_watchedInput = -1;
    bool m_bTickerStarted = false;
    uintptr_t m_hTicker = 0;
    std::shared_ptr<CTickerTarget> m_tickerTarget;
};
