#include "ui/DialogCore.h"

#include <algorithm>
#include <chrono>

#include "app/Settings.h"
#include "app/UpdateHistory.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "update/UnitInfo.h"


namespace {
int BarId(EProgressBar bar) { return bar == EProgressBar::BulkErase ? IDC_PRG_BULK_ERASE : IDC_PRG_PAGE_PROGRAM; }

int TextId(EUpdateText which) {
    switch (which) {
        case EUpdateText::Dsp1File: return IDC_DSP1_FILE;
        case EUpdateText::Dsp2File: return IDC_DSP2_FILE;
        case EUpdateText::EepromFile: return IDC_EEPROM_FILE;
        case EUpdateText::BytesToWrite: return IDC_BYTES_TO_WRITE;
        case EUpdateText::BytesWritten: return IDC_BYTES_WRITTEN;
    }
    return 0;
}
}  // namespace

CTR52K_FlashFileLoaderDlg::CTR52K_FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus,
                                                     CRegistryStore& registry, CDialogControls& controls,
                                                     CMessageBox& box, CBeeper& beeper)
    : m_pComm(comm),
      m_bNoInitStatus(noInitStatus),
      m_dsp(*comm, *this),
      m_eeprom(*comm, *this),
      m_registry(registry),
      m_controls(controls),
      m_box(box),
      m_beeper(beeper) {
    m_dsp.m_refuseWhile = [this] { return m_eeprom.UpdateRunning(); };
    // Every update goes into the user's update history; one that cannot be
    // written there is traced, and changes nothing else.
    m_dsp.m_onUpdateEnded = m_eeprom.m_onUpdateEnded = [this](const CUpdateOutcome& o, auto started) {
        CHistoryEntry e;
        e.program = "tr52k-flash-loader";
        if (CBaseClass* link = m_pComm->GetDeviceLink())
            e.unit = std::string(link->GetRemoteAddress()) + ":" + std::to_string(link->GetRemotePort());
        if (m_pComm->m_bVersionsRead) e.serial = m_pComm->m_strSerialNumber;
        e.started = started;
        e.ended = std::chrono::system_clock::now();
        std::string why;
        if (!AppendUpdateHistory(e, o, &why)) DebugOutput("The update history could not be written: " + why + "\r\n");
    };
}

void CTR52K_FlashFileLoaderDlg::OnInitDialog() {
    if (m_bInitialised) return;
    m_bInitialised = true;
    m_controls.SetControlText(0, "Korvanex TR52K Flash File Loader");
    for (int id : {IDC_PRG_BULK_ERASE, IDC_PRG_PAGE_PROGRAM}) {
        m_controls.SetProgressRange(id, 0, 255);
        m_controls.SetProgressPos(id, 0);
    }
    m_steps[0] = m_steps[1] = 1;
    m_eeprom.m_nSelectedEeprom = m_pComm->m_nCurrentEeprom;

    bool passed = false;
    if (!m_bNoInitStatus) {
        passed = m_pComm->ReadDeviceInfo() && m_pComm->ReadStatusRecord() && m_pComm->ReadEepromDirectory() &&
                 m_pComm->ReadOperationalStatus();
    }
    // The update controls wait for the unit's consent.
    if (!passed || !m_pComm->m_bUpdateEnable) {
        for (int id : {IDC_LBL_BULK_ERASE, IDC_LBL_PAGE_PROGRAM, IDC_DSP1_FILE, IDC_DSP1_BROWSE, IDC_DSP1_LOAD,
                       IDC_DSP2_FILE, IDC_DSP2_BROWSE, IDC_DSP2_LOAD, IDC_EEPROM_FILE, IDC_EEPROM_BROWSE,
                       IDC_EEPROM_LOAD})
            m_controls.EnableControl(id, false);
        for (int k = 0; k < EEPROM_COUNT; ++k) m_controls.EnableControl(IDC_EEPROM_FIRST + k, false);
    }
    ShowDeviceInformation();
    ShowSelectedEeprom();
    ShowEepromDirectory();
    ShowTargetAddress();
    ShowOperationalMode();

    if (CBaseClass* link = m_pComm->GetDeviceLink(); link && link->IsConnected()) {
        m_watchedInput = link->InputWatchHandle();
        if (m_watchedInput != -1) m_controls.WatchInput(m_watchedInput, true);
    }
    uintptr_t window = 0;
    // The ticker holds its target weakly; it lives as long as the window.
    if ((m_tickerTarget = m_controls.TickerTarget(&window))) {
        TickerAttachAtConstruction(ProcessTickerFlags(), SystemClock());
        m_bTickerStarted = true;
        m_hTicker = RegisterTickerTarget(m_tickerTarget, window);
        TickerAttachWindow(ProcessTickerFlags(), m_hTicker);
    }
}

void CTR52K_FlashFileLoaderDlg::OnIdleInput() {
    m_pComm->DropIdleInput();
    CBaseClass* link = m_pComm->GetDeviceLink();
    // Closed: nothing more will come, and a closed socket stays readable.
    if (!link || !link->IsConnected()) StopWatchingInput();
}

void CTR52K_FlashFileLoaderDlg::OnWindowGone() {
    StopWatchingInput();
    if (m_hTicker) UnregisterTickerTarget(m_hTicker);
    m_hTicker = 0;
    m_tickerTarget.reset();
}

void CTR52K_FlashFileLoaderDlg::StopWatchingInput() {
    if (m_watchedInput != -1) m_controls.WatchInput(m_watchedInput, false);
    m_watchedInput = -1;
}

CTR52K_FlashFileLoaderDlg::~CTR52K_FlashFileLoaderDlg() {
    // Never waits for the ticker: it may be inside a send to this thread.
    if (m_bTickerStarted) TickerDetachAtDestruction(ProcessTickerFlags(), SystemClock());
    if (m_hTicker) UnregisterTickerTarget(m_hTicker);
}

// --- Target address -----------------------------------------------------

void CTR52K_FlashFileLoaderDlg::ShowTargetAddress() {
    // Each field runs to the next '.', parsed like "%lu" and cut to 8 bits;
    // a field without a number keeps the one before it.
    uint32_t fields[4] = {0, 0, 0, 0};
    size_t pos = 0;
    uint32_t last = 0;
    const std::string& t = m_strTargetIp;
    for (int i = 0; i < 4; ++i) {
        size_t dot = t.find('.', pos);
        std::string part = t.substr(std::min(pos, t.size()), dot == std::string::npos ? std::string::npos : dot - pos);
        size_t k = 0;
        while (k < part.size() && (part[k] == ' ' || part[k] == '\t')) ++k;
        if (k < part.size() && part[k] == '+') ++k;
        if (k < part.size() && part[k] >= '0' && part[k] <= '9') {
            unsigned long v = 0;
            for (; k < part.size() && part[k] >= '0' && part[k] <= '9'; ++k)
                v = v * 10 + static_cast<unsigned long>(part[k] - '0');
            last = static_cast<uint32_t>(v & 0xFF);
        }
        fields[i] = last;
        pos = dot == std::string::npos ? t.size() : dot + 1;
    }
    m_controls.SetIpAddress(IDC_TARGET_IP, fields[0] << 24 | fields[1] << 16 | fields[2] << 8 | fields[3]);
}

uint32_t CTR52K_FlashFileLoaderDlg::SaveTargetAddress() {
    uint8_t f[4];
    m_controls.GetIpAddress(IDC_TARGET_IP, f);
    const std::string text = Format("%u.%u.%u.%u", f[0], f[1], f[2], f[3]);
    // The dialog's copy changes only once the key could be opened.
    if (SettingsKeyWritable(m_registry)) m_strTargetIp = text;
    return SaveTargetAddressToRegistry(m_registry, text, m_box);
}

void CTR52K_FlashFileLoaderDlg::OnBnClickedSave() { SaveTargetAddress(); }

// --- Displays -----------------------------------------------------------

void CTR52K_FlashFileLoaderDlg::ShowSelectedEeprom() { ShowSelectedEeprom(m_eeprom.m_nSelectedEeprom); }

void CTR52K_FlashFileLoaderDlg::ShowSelectedEeprom(int32_t index) {
    for (int k = 0; k < EEPROM_COUNT; ++k) m_controls.SetCheck(IDC_EEPROM_FIRST + k, k == index);
}

void CTR52K_FlashFileLoaderDlg::ShowEepromDirectory() {
    for (int k = 0; k < EEPROM_COUNT; ++k)
        m_controls.SetControlText(IDC_EEPROM_FIRST + k, VersionText(m_pComm->m_dwEepromImageId[k]) + " : " +
                                                            PersonalityName(m_pComm->m_wEepromPersonality[k]));
}

void CTR52K_FlashFileLoaderDlg::ShowDeviceInformation() {
    CTR52K1_Comm& c = *m_pComm;
    // Each versions value is read on demand while no read has completed.
    auto versions = [&c]() -> CTR52K1_Comm& {
        if (!c.m_bVersionsRead) c.ReadDeviceInfo();
        return c;
    };
    auto identity = [&c]() -> CTR52K1_Comm& {
        if (!c.m_bIdentityRead) c.ReadIdentityPage();
        return c;
    };
    m_controls.SetControlText(IDC_SERIAL_NUMBER, versions().m_strSerialNumber);
    m_controls.SetControlText(IDC_DSP1_FW_VER, VersionText(versions().m_dwDsp1FwVersion));
    m_controls.SetControlText(IDC_DSP2_FW_VER, VersionText(versions().m_dwDsp2FwVersion));
    m_controls.SetControlText(IDC_FIO_FPGA_FW_VER, VersionText(versions().m_dwFioFpgaFwVersion));
    m_controls.SetControlText(IDC_BRIDGE_FPGA_FW_VER, VersionText(versions().m_dwBridgeFpgaFwVersion));
    m_controls.SetControlText(IDC_DP_FPGA_FW_VER, VersionText(versions().m_dwDpFpgaFwVersion));
    const uint8_t personality = versions().m_byPersonality;
    m_controls.SetControlText(IDC_OP_MODE_RAW, Format("0x%2.2X", personality));
    m_controls.SetControlText(IDC_OP_MODE, PersonalityName(personality));
    m_controls.SetControlText(IDC_DSP_BOARD_PCB_REV, Format("%u", versions().m_byDspBoardPcbRev));
    m_controls.SetControlText(IDC_DP_FPGA_BOARD_PCB_REV, Format("%u", versions().m_wDpFpgaBoardPcbRev));
    m_controls.SetControlText(IDC_DEVICE_ID, Utf16ToUtf8(c.m_szDeviceId));
    m_controls.SetCheck(IDC_DHCP_ENABLED, identity().m_bDhcpEnabled != 0);
    const uint32_t ip = identity().m_dwIpAddress;
    m_controls.SetControlText(IDC_DEVICE_IP, IpAddressText(ip));
}

void CTR52K_FlashFileLoaderDlg::ShowOperationalMode() {
    for (int m = 1; m <= 3; ++m) m_controls.SetCheck(IDC_OP_MODE_1 + m - 1, m_pComm->m_nOperationalMode == m);
}

void CTR52K_FlashFileLoaderDlg::ShowPingResult() {
    std::string t;
    for (uint8_t b : m_pComm->m_PingReply) t += Format("%2.2X ", b);
    m_controls.SetControlText(IDC_PING_RESULT, t);
}

// --- Direct commands ----------------------------------------------------

void CTR52K_FlashFileLoaderDlg::OnBnClickedRead() {
    m_pComm->ReadDeviceInfo();
    ShowDeviceInformation();
    SuccessBeep(m_beeper);
}

void CTR52K_FlashFileLoaderDlg::OnBnClickedPing() {
    uint32_t ok = m_pComm->Ping();
    ShowPingResult();
    ok ? SuccessBeep(m_beeper) : FailureBeep(m_beeper);
}

void CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffConsolidatedStatus() {
    m_pComm->TurnOff(TURN_OFF_CONSOLIDATED_STATUS) ? SuccessBeep(m_beeper) : FailureBeep(m_beeper);
}

void CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffAllGraphs() {
    bool ok = m_pComm->TurnOff(TURN_OFF_GRAPHS_1) && m_pComm->TurnOff(TURN_OFF_GRAPHS_2);
    ok ? SuccessBeep(m_beeper) : FailureBeep(m_beeper);
}

void CTR52K_FlashFileLoaderDlg::OnBnClickedOpMode(int mode) {
    BeginBusy();
    uint32_t ok = m_pComm->SetOperationalMode(static_cast<uint8_t>(mode));
    ShowOperationalMode();
    if (!ok) FailureBeep(m_beeper);
    EndBusy();
}

void CTR52K_FlashFileLoaderDlg::OnTickerMessage(uint32_t message, uintptr_t wParam) {
    if (message == WM_EEPROM_ERASE_TICK) m_eeprom.OnEepromEraseTick();
    else if (message == WM_EEPROM_PAGE_TICK) m_eeprom.OnEepromPageTick();
    else if (message == WM_EXTRA_BYTES_CHECK) m_eeprom.OnExtraBytesCheck(wParam);
}

bool CTR52K_FlashFileLoaderDlg::CanClose() {
    if (!m_eeprom.UpdateRunning()) return true;
    const std::string question = Format("EEPROM_%d is being updated. Closing now leaves it erased and not current. "
                                        "Close anyway?",
                                        m_eeprom.m_procedure.TargetEeprom());
    // A second close while the question is up (a posted one, the close box
    // again) waits for its answer.
    if (m_bAskingToClose) return false;
    m_bAskingToClose = true;
    const bool yes = m_controls.AskYesNo(question, "EEPROM Update Running");
    m_bAskingToClose = false;
    if (!yes) return false;
    // The ticks go on while the question is up: the update may have ended
    // meanwhile, and then there is nothing left to stop.
    m_eeprom.StopForClose();
    return true;
}

// --- The update view ------------------------------------------------------

void CTR52K_FlashFileLoaderDlg::SetLabel(EProgressLabel label, const std::string& text) {
    m_controls.SetControlText(label == EProgressLabel::BulkErase ? IDC_LBL_BULK_ERASE : IDC_LBL_PAGE_PROGRAM, text);
}

void CTR52K_FlashFileLoaderDlg::SetProgressRange(EProgressBar bar, int32_t lower, int32_t upper) {
    m_controls.SetProgressRange(BarId(bar), lower, std::max(lower, upper));
}

void CTR52K_FlashFileLoaderDlg::SetProgressStep(EProgressBar bar, int32_t step) {
    m_steps[bar == EProgressBar::BulkErase ? 0 : 1] = step;
}

void CTR52K_FlashFileLoaderDlg::SetProgressPos(EProgressBar bar, int32_t pos) {
    const int id = BarId(bar);
    m_controls.SetProgressPos(id, std::clamp(pos, m_controls.GetProgressLower(id), m_controls.GetProgressUpper(id)));
}

void CTR52K_FlashFileLoaderDlg::StepProgress(EProgressBar bar) {
    const int id = BarId(bar);
    const int32_t lower = m_controls.GetProgressLower(id), upper = m_controls.GetProgressUpper(id);
    int32_t pos = m_controls.GetProgressPos(id) + m_steps[bar == EProgressBar::BulkErase ? 0 : 1];
    if (pos > upper) pos = lower + (pos - upper - 1);  // wraps like the Windows bar
    m_controls.SetProgressPos(id, std::clamp(pos, lower, upper));
}

int32_t CTR52K_FlashFileLoaderDlg::GetProgressUpper(EProgressBar bar) {
    return m_controls.GetProgressUpper(BarId(bar));
}

std::string CTR52K_FlashFileLoaderDlg::GetText(EUpdateText which) { return m_controls.GetControlText(TextId(which)); }

void CTR52K_FlashFileLoaderDlg::SetText(EUpdateText which, const std::string& text) {
    m_controls.SetControlText(TextId(which), text);
}

void CTR52K_FlashFileLoaderDlg::ShowMessageBox(const std::string& text, const std::string& caption, EMessageKind kind) {
    m_box.Show(text, caption, kind);
}

EFileChoice CTR52K_FlashFileLoaderDlg::ChooseFile(std::string* path, uint32_t* errorCode) {
    return m_controls.ChooseBinaryFile(path, errorCode);
}

int32_t CTR52K_FlashFileLoaderDlg::FirstCheckedEeprom() {
    for (int k = 0; k < EEPROM_COUNT; ++k)
        if (m_controls.GetCheck(IDC_EEPROM_FIRST + k)) return k;
    return -1;
}
