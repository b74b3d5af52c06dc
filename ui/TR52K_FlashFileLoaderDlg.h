// The loader's one window. Every handler runs on this thread and calls the
// command object synchronously; the EEPROM update advances on the ticker's
// messages, delivered here.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <array>
#include <memory>
#include <string>

#include "link/FileExeptionErrorMsgs.h"
#include "platform/Beep.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "protocol/TR52K1_Comm.h"
#include "ui/DialogUpdates.h"
#include "ui/IpAddressEdit.h"
#include "ui/UpdateView.h"
#include "update/Ticker.h"

// Dialog units of the template converted with the font's base units.
struct CDialogUnits {
    int baseX = 6, baseY = 13;
    QRect ToPixels(int x, int y, int w, int h) const {
        return QRect(x * baseX / 4, y * baseY / 8, w * baseX / 4, h * baseY / 8);
    }
    static CDialogUnits ForFont(const QFont& font);
};

// Check boxes and radio buttons that only the program checks.
class CManualRadioButton : public QRadioButton {
public:
    using QRadioButton::QRadioButton;

protected:
    void nextCheckState() override {}
};
class CManualCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {}
};

class CTR52K_FlashFileLoaderDlg : public QDialog, public CFileExeptionErrorMsgs, public CUpdateView {
    Q_OBJECT
public:
    CTR52K_FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus, CRegistryStore& registry,
                              CMessageBox& box = GetMessageBox(), CBeeper& beeper = GetBeeper());
    ~CTR52K_FlashFileLoaderDlg() override;

    // Runs the initialisation (reads, enabling) once, then the modal loop.
    int DoModal();
    void OnInitDialog();

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
    void OnTickerMessage(uint32_t message, uintptr_t wParam);

    // CUpdateView with the dialog's controls.
    void SetLabel(EProgressLabel label, const std::string& text) override;
    void SetProgressRange(EProgressBar bar, int32_t lower, int32_t upper) override;
    void SetProgressStep(EProgressBar bar, int32_t step) override;
    void SetProgressPos(EProgressBar bar, int32_t pos) override;
    void StepProgress(EProgressBar bar) override;
    int32_t GetProgressUpper(EProgressBar bar) override;
    std::string GetText(EUpdateText which) override;
    void SetText(EUpdateText which, const std::string& text) override;
    int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t type) override;
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override { m_beeper.Beep(frequencyHz, durationMs); }
    void BeginBusy() override;
    void EndBusy() override;
    EFileChoice ChooseFile(std::string* path, uint32_t* errorCode) override;
    int32_t FirstCheckedEeprom() override;
    void ShowSelectedEeprom(int32_t index) override;
    void RequestClose() override;

    // Template rectangle (dialog units) of each control by object name,
    // for the layout check.
    const std::map<QString, QRect>& TemplateRects() const { return m_templateRects; }
    const CDialogUnits& Units() const { return m_units; }

    CTR52K1_Comm* m_pComm;
    uint32_t m_bNoInitStatus;
    std::string m_strTargetIp;

    CIpAddressEdit* m_ctlTargetIp;
    QPushButton* m_btnSaveIp;
    QProgressBar* m_prgBulkErase;
    QLabel* m_lblBulkErase;
    QProgressBar* m_prgPageProgram;
    QLabel* m_lblPageProgram;
    QLineEdit* m_edtBytesToWrite;
    QLineEdit* m_edtBytesWritten;
    QLineEdit* m_edtDsp1File;
    QPushButton* m_btnDsp1Browse;
    QPushButton* m_btnDsp1Load;
    QLineEdit* m_edtDsp2File;
    QPushButton* m_btnDsp2Browse;
    QPushButton* m_btnDsp2Load;
    std::array<CManualRadioButton*, EEPROM_COUNT> m_btnEeprom{};
    QLineEdit* m_edtEepromFile;
    QPushButton* m_btnEepromBrowse;
    QPushButton* m_btnEepromLoad;
    QPushButton* m_btnRead;
    QLabel* m_lblSerialNumber;
    QLabel* m_lblDsp1FwVer;
    QLabel* m_lblDsp2FwVer;
    QLabel* m_lblFioFpgaFwVer;
    QLabel* m_lblBridgeFpgaFwVer;
    QLabel* m_lblDpFpgaFwVer;
    QLabel* m_lblOpModeRaw;
    QLabel* m_lblOpMode;
    QLabel* m_lblDspBoardPcbRev;
    QLabel* m_lblDpFpgaBoardPcbRev;
    QLabel* m_lblDeviceId;
    CManualCheckBox* m_chkDhcpEnabled;
    QLabel* m_lblDeviceIp;
    QPushButton* m_btnTurnOffConsolidatedStatus;
    QPushButton* m_btnTurnOffAllGraphs;
    QPushButton* m_btnPing;
    QLineEdit* m_edtPingResult;
    std::array<QCheckBox*, 4> m_chkOpMode{};  // element 0 unused

    CDialogDspUpdate m_dsp;
    CDialogEepromUpdate m_eeprom;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void CreateControls();
    void NameControls();
    template <class W>
    W* Place(W* widget, const char* name, int x, int y, int w, int h);
    QProgressBar* Bar(EProgressBar bar) const;
    void Repaint(QWidget* w);
    void ShowAbout();

    CRegistryStore& m_registry;
    CMessageBox& m_box;
    CBeeper& m_beeper;
    CDialogUnits m_units;
    std::map<QString, QRect> m_templateRects;
    std::array<int32_t, 2> m_steps{{1, 1}};
    uintptr_t m_hTicker = 0;
    std::shared_ptr<CTickerTarget> m_tickerTarget;
    bool m_bInitialised = false;
    class QSocketNotifier* m_idleInput = nullptr;
};
