#include "ui/TR52K_FlashFileLoaderDlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QSocketNotifier>

#include "app/Settings.h"
#include "app/UpdateHistory.h"
#include "platform/DebugOutput.h"
#include "link/NetworkDeviceComm.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"
#include "ui/QtPlatform.h"

using namespace win32;

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }

QIcon ProgramIcon() { return QIcon(QPixmap::fromImage(ProgramIconImage(64))); }

// Delivers the ticker's messages into the dialog's thread and waits until
// they are handled; a message for a dialog that has gone does nothing.
class CDialogTickerTarget : public CTickerTarget {
public:
    explicit CDialogTickerTarget(CTR52K_FlashFileLoaderDlg* dlg) : m_dlg(dlg) {}
    void Send(uint32_t message, uintptr_t wParam) override {
        QPointer<CTR52K_FlashFileLoaderDlg> dlg = m_dlg;
        if (!dlg) return;
        QMetaObject::invokeMethod(
            dlg, [dlg, message, wParam] { if (dlg) dlg->OnTickerMessage(message, wParam); },
            Qt::BlockingQueuedConnection);
    }

private:
    QPointer<CTR52K_FlashFileLoaderDlg> m_dlg;
};
}  // namespace

CDialogUnits CDialogUnits::ForFont(const QFont& font) {
    // As Windows derives dialog base units from the dialog font: the average
    // width of the 52 letters, rounded, and the character height.
    QFontMetrics fm(font);
    const int width = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    CDialogUnits u;
    u.baseX = (width / 26 + 1) / 2;
    u.baseY = fm.height();
    return u;
}

CTR52K_FlashFileLoaderDlg::CTR52K_FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus,
                                                     CRegistryStore& registry, CMessageBox& box, CBeeper& beeper)
    : QDialog(nullptr),
      m_pComm(comm),
      m_bNoInitStatus(noInitStatus),
      m_dsp(*comm, *this),
      m_eeprom(*comm, *this),
      m_registry(registry),
      m_box(box),
      m_beeper(beeper) {
    // "MS Shell Dlg" 8 pt is a sans-serif UI font; DejaVu Sans is Debian's.
    QFont font("DejaVu Sans");
    font.setPointSize(8);
    setFont(font);
    m_units = CDialogUnits::ForFont(font);
    setWindowTitle("TR52K_FlashFileLoader");
    setWindowIcon(ProgramIcon());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    const QRect whole = m_units.ToPixels(0, 0, 699, 330);
    setFixedSize(whole.size());
    CreateControls();
    qApp->installEventFilter(this);
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
    TickerAttachAtConstruction(ProcessTickerFlags(), SystemClock());
}

CTR52K_FlashFileLoaderDlg::~CTR52K_FlashFileLoaderDlg() {
    TickerDetachAtDestruction(ProcessTickerFlags(), SystemClock());
    if (m_hTicker) UnregisterTickerTarget(m_hTicker);
    qApp->removeEventFilter(this);
}

template <class W>
W* CTR52K_FlashFileLoaderDlg::Place(W* widget, const char* name, int x, int y, int w, int h) {
    widget->setObjectName(name);
    widget->setGeometry(m_units.ToPixels(x, y, w, h));
    m_templateRects[name] = QRect(x, y, w, h);
    return widget;
}

// Screen readers and test tools find each control by what it is: the caption
// for buttons and check boxes, the words beside it for edits, bars and values.
void CTR52K_FlashFileLoaderDlg::NameControls() {
    const std::pair<QWidget*, const char*> names[] = {
        {m_ctlTargetIp, "Target Ethernet Address"},
        {m_btnSaveIp, "Save"},
        {m_prgBulkErase, "Bulk Erase progress"},
        {m_prgPageProgram, "Page Program progress"},
        {m_lblBulkErase, "Bulk Erase progress caption"},
        {m_lblPageProgram, "Page Program progress caption"},
        {m_edtBytesToWrite, "Bytes to write"},
        {m_edtBytesWritten, "Bytes written"},
        {m_edtDsp1File, "DSP1 image path"},
        {m_btnDsp1Browse, "Browse for the DSP1 image"},
        {m_btnDsp1Load, "Load DSP1"},
        {m_edtDsp2File, "DSP2 image path"},
        {m_btnDsp2Browse, "Browse for the DSP2 image"},
        {m_btnDsp2Load, "Load DSP2"},
        {m_edtEepromFile, "EEPROM image path"},
        {m_btnEepromBrowse, "Browse for the EEPROM image"},
        {m_btnEepromLoad, "Load EEPROM"},
        {m_btnRead, "Read"},
        {m_lblSerialNumber, "Serial Number"},
        {m_lblDeviceId, "Device ID"},
        {m_lblDsp1FwVer, "DSP1 Fw Ver"},
        {m_lblDsp2FwVer, "DSP2 Fw Ver"},
        {m_lblFioFpgaFwVer, "FIO FPGA Fw Ver"},
        {m_lblBridgeFpgaFwVer, "Bridge FPGA Fw Ver"},
        {m_lblDpFpgaFwVer, "DP FPGA Fw Ver"},
        {m_lblOpModeRaw, "DP FPGA Personality Number"},
        {m_lblOpMode, "DP FPGA Personality"},
        {m_lblDspBoardPcbRev, "DSP Board PCB Revision"},
        {m_lblDpFpgaBoardPcbRev, "DP FPGA Board PCB Rev"},
        {m_chkDhcpEnabled, "DHCP Enabled"},
        {m_lblDeviceIp, "Device IP Address"},
        {m_btnTurnOffConsolidatedStatus, "Turn Off Consolidated Status"},
        {m_btnTurnOffAllGraphs, "Turn Off All Graphs"},
        {m_btnPing, "Ping"},
        {m_edtPingResult, "Ping reply"},
    };
    for (const auto& [w, name] : names) w->setAccessibleName(name);
    for (int i = 0; i < 4; ++i) m_ctlTargetIp->Field(i)->setAccessibleName(Q(Format("Target address field %d", i + 1)));
    for (int k = 0; k < EEPROM_COUNT; ++k) m_btnEeprom[static_cast<size_t>(k)]->setAccessibleName(Q(Format("EEPROM_%d", k)));
    for (int m = 1; m <= 3; ++m) m_chkOpMode[static_cast<size_t>(m)]->setAccessibleName(m_chkOpMode[static_cast<size_t>(m)]->text());
}

void CTR52K_FlashFileLoaderDlg::CreateControls() {
    auto group = [&](const char* caption, int x, int y, int w, int h) {
        auto* g = new QGroupBox(caption, this);
        g->setAlignment(Qt::AlignHCenter);
        g->setGeometry(m_units.ToPixels(x, y, w, h));
        g->lower();
    };
    group("Target Ethernet Address", 7, 7, 160, 35);
    group("EEPROM Update Progress", 170, 7, 516, 35);
    group("DSP1 Flash Update", 7, 44, 679, 30);
    group("DSP2 Flash Update", 7, 77, 679, 30);
    group("Dual Purpose FPGA Configuration EEPROM Update", 7, 109, 679, 89);
    group("Versions", 7, 200, 679, 60);
    group("Operational Mode", 477, 263, 209, 56);

    auto label = [&](const char* text, int x, int y, int w, int h, Qt::Alignment a = Qt::AlignRight | Qt::AlignVCenter) {
        auto* l = new QLabel(text, this);
        l->setAlignment(a);
        l->setGeometry(m_units.ToPixels(x, y, w, h));
        return l;
    };
    auto button = [&](const char* text, const char* name, int x, int y, int w, int h) {
        return Place(new QPushButton(text, this), name, x, y, w, h);
    };
    auto edit = [&](const char* name, int x, int y, int w, int h, bool readOnly, bool centred) {
        auto* e = Place(new QLineEdit(this), name, x, y, w, h);
        e->setReadOnly(readOnly);
        if (centred) e->setAlignment(Qt::AlignCenter);
        return e;
    };
    auto value = [&](const char* text, const char* name, int x, int y, int w, int h,
                     Qt::Alignment a = Qt::AlignLeft | Qt::AlignVCenter) {
        auto* l = Place(new QLabel(text, this), name, x, y, w, h);
        l->setAlignment(a);
        return l;
    };
    auto bar = [&](const char* name, int x, int y, int w, int h) {
        auto* b = Place(new QProgressBar(this), name, x, y, w, h);
        b->setTextVisible(false);
        b->setEnabled(false);
        return b;
    };

    m_ctlTargetIp = Place(new CIpAddressEdit(this), "m_ctlTargetIp", 15, 19, 100, 15);
    m_btnSaveIp = button("Save", "m_btnSaveIp", 123, 19, 35, 15);
    m_prgBulkErase = bar("m_prgBulkErase", 216, 19, 101, 12);
    m_lblBulkErase = value("Bulk Erase:", "m_lblBulkErase", 174, 19, 40, 12, Qt::AlignRight | Qt::AlignVCenter);
    m_prgPageProgram = bar("m_prgPageProgram", 369, 19, 101, 12);
    m_lblPageProgram = value("Page Prgrm:", "m_lblPageProgram", 324, 19, 43, 12, Qt::AlignRight | Qt::AlignVCenter);
    m_edtBytesToWrite = edit("m_edtBytesToWrite", 535, 19, 43, 12, true, true);
    m_edtBytesWritten = edit("m_edtBytesWritten", 633, 19, 43, 12, true, true);
    m_edtDsp1File = edit("m_edtDsp1File", 15, 53, 586, 12, false, false);
    m_btnDsp1Browse = button("Browse", "m_btnDsp1Browse", 606, 53, 32, 12);
    m_btnDsp1Load = button("Load", "m_btnDsp1Load", 644, 53, 32, 12);
    m_edtDsp2File = edit("m_edtDsp2File", 15, 87, 586, 12, false, false);
    m_btnDsp2Browse = button("Browse", "m_btnDsp2Browse", 606, 87, 32, 12);
    m_btnDsp2Load = button("Load", "m_btnDsp2Load", 644, 87, 32, 12);
    for (int k = 0; k < EEPROM_COUNT; ++k) {
        const int x = (k / 4 == 0) ? 112 : (k / 4 == 1 ? 307 : 502);
        const int lx = (k / 4 == 0) ? 96 : (k / 4 == 1 ? 292 : 485);
        const int y = 127 + 13 * (k % 4);
        const std::string name = "m_btnEeprom_" + std::to_string(k);
        auto* r = new CManualRadioButton(Q("EEPROM_" + std::to_string(k)), this);
        r->setAutoExclusive(false);
        r->setFocusPolicy(Qt::ClickFocus);
        Place(r, name.c_str(), x, y, 178, 8);
        r->installEventFilter(this);
        m_btnEeprom[static_cast<size_t>(k)] = r;
        label((std::to_string(k) + ":").c_str(), lx, y, 12, 8);
        connect(r, &QAbstractButton::clicked, this, [this, k] { m_eeprom.OnBnClickedEeprom(k); });
    }
    auto* note = label("Select Target EEPROM and Completely TURN OFF all Anti-Virus and Anti-Malware software.", 14,
                       134, 76, 35, Qt::AlignCenter);
    note->setWordWrap(true);
    m_edtEepromFile = edit("m_edtEepromFile", 15, 180, 586, 12, false, false);
    m_btnEepromBrowse = button("Browse", "m_btnEepromBrowse", 606, 180, 32, 12);
    m_btnEepromLoad = button("Load", "m_btnEepromLoad", 644, 180, 32, 12);
    m_btnRead = button("Read", "m_btnRead", 644, 240, 32, 12);
    m_lblSerialNumber = value("serial number", "m_lblSerialNumber", 90, 216, 68, 8);
    m_lblDsp1FwVer = value("dsp1 fw ver", "m_lblDsp1FwVer", 449, 216, 36, 8);
    m_lblDsp2FwVer = value("dsp2 fw ver", "m_lblDsp2FwVer", 449, 230, 36, 8);
    m_lblFioFpgaFwVer = value("fio fpga fw", "m_lblFioFpgaFwVer", 591, 216, 36, 8);
    m_lblBridgeFpgaFwVer = value("bridge fpga fw", "m_lblBridgeFpgaFwVer", 591, 230, 36, 8);
    m_lblDpFpgaFwVer = value("dp fpga fw", "m_lblDpFpgaFwVer", 591, 244, 36, 8);
    m_lblOpModeRaw = value("op mode raw", "m_lblOpModeRaw", 128, 244, 15, 8);
    m_lblOpMode = value("op mode", "m_lblOpMode", 149, 244, 129, 8);
    m_lblDspBoardPcbRev = value("0", "m_lblDspBoardPcbRev", 344, 216, 15, 8, Qt::AlignCenter);
    m_lblDpFpgaBoardPcbRev = value("0", "m_lblDpFpgaBoardPcbRev", 344, 230, 15, 8, Qt::AlignCenter);
    m_lblDeviceId = value("user note", "m_lblDeviceId", 90, 230, 84, 8);
    m_chkDhcpEnabled = Place(new CManualCheckBox(this), "m_chkDhcpEnabled", 346, 244, 9, 8);
    m_chkDhcpEnabled->setLayoutDirection(Qt::RightToLeft);
    m_lblDeviceIp = value("ip address", "m_lblDeviceIp", 449, 244, 54, 8);
    m_btnTurnOffConsolidatedStatus = button("Turn Off Consolidated Status", "m_btnTurnOffConsolidatedStatus", 15, 284, 112, 12);
    m_btnTurnOffAllGraphs = button("Turn Off All Graphs", "m_btnTurnOffAllGraphs", 130, 284, 112, 12);
    m_btnPing = button("Ping", "m_btnPing", 15, 302, 28, 12);
    m_edtPingResult = edit("m_edtPingResult", 46, 302, 66, 12, true, true);
    m_edtPingResult->setEnabled(false);
    const struct {
        const char* caption;
        int x, y, w;
    } modes[] = {{"_2_BITSYNCS_3_DECOMS_2_SIMS_MODE:", 523, 273, 150},
                 {"_1_BITSYNC_2_DECOMS_1_SIM_1_SUPERSIM_MODE:", 485, 287, 188},
                 {"_1_DECOM_2_SUPERSIMS_MODE:", 549, 301, 124}};
    for (int m = 1; m <= 3; ++m) {
        const std::string name = "m_chkOpMode_" + std::to_string(m);
        auto* c = Place(new QCheckBox(modes[m - 1].caption, this), name.c_str(), modes[m - 1].x, modes[m - 1].y,
                        modes[m - 1].w, 12);
        c->setLayoutDirection(Qt::RightToLeft);
        m_chkOpMode[static_cast<size_t>(m)] = c;
        connect(c, &QAbstractButton::clicked, this, [this, m] { OnBnClickedOpMode(m); });
    }
    label("Bytes to write:", 477, 19, 54, 12);
    label("Bytes written:", 577, 19, 54, 12);
    label("Serial Number:", 14, 216, 71, 8);
    label("Device ID:", 14, 230, 71, 8);
    label("DP FPGA Personality Number:", 14, 244, 110, 8);
    label("DSP Board PCB Revison:", 240, 216, 101, 8);
    label("DP FPGA Board PCB Rev:", 240, 230, 101, 8);
    label("DHCP Enabled:", 290, 244, 51, 8);
    label("Device IP Address:", 373, 244, 71, 8);
    label("DSP1 Fw Ver:", 398, 216, 46, 8);
    label("DSP2 Fw Ver:", 398, 230, 46, 8);
    label("FIO FPGA Fw Ver:", 516, 216, 71, 8);
    label("Bridge FPGA Fw Ver:", 516, 230, 71, 8);
    label("DP FPGA Fw Ver:", 516, 244, 71, 8);

    NameControls();

    connect(m_btnSaveIp, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedSave);
    connect(m_btnRead, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedRead);
    connect(m_btnPing, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedPing);
    connect(m_btnTurnOffConsolidatedStatus, &QPushButton::clicked, this,
            &CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffConsolidatedStatus);
    connect(m_btnTurnOffAllGraphs, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffAllGraphs);
    connect(m_btnDsp1Browse, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp1Browse);
    connect(m_btnDsp1Load, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp1Load);
    connect(m_btnDsp2Browse, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp2Browse);
    connect(m_btnDsp2Load, &QPushButton::clicked, this, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp2Load);
    connect(m_btnEepromBrowse, &QPushButton::clicked, this, [this] { m_eeprom.OnBnClickedEepromBrowse(); });
    connect(m_btnEepromLoad, &QPushButton::clicked, this, [this] { m_eeprom.OnBnClickedEepromLoad(); });
    for (QPushButton* b : findChildren<QPushButton*>()) b->setAutoDefault(false);
}

int CTR52K_FlashFileLoaderDlg::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CTR52K_FlashFileLoaderDlg::OnInitDialog() {
    if (m_bInitialised) return;
    m_bInitialised = true;
    setWindowTitle("Korvanex TR52K Flash File Loader");
    for (QProgressBar* b : {m_prgBulkErase, m_prgPageProgram}) {
        b->setRange(0, 255);
        b->setValue(0);
    }
    m_steps = {1, 1};
    m_eeprom.m_nSelectedEeprom = m_pComm->m_nCurrentEeprom;

    bool passed = false;
    if (!m_bNoInitStatus) {
        passed = m_pComm->ReadDeviceInfo() && m_pComm->ReadStatusRecord() && m_pComm->ReadEepromDirectory() &&
                 m_pComm->ReadOperationalStatus();
    }
    if (!passed || !m_pComm->m_bUpdateEnable) {
        for (QWidget* w : std::initializer_list<QWidget*>{m_lblBulkErase, m_lblPageProgram, m_edtDsp1File,
                                                           m_btnDsp1Browse, m_btnDsp1Load, m_edtDsp2File,
                                                           m_btnDsp2Browse, m_btnDsp2Load, m_edtEepromFile,
                                                           m_btnEepromBrowse, m_btnEepromLoad})
            w->setEnabled(false);
        for (auto* r : m_btnEeprom) r->setEnabled(false);
    }
    ShowDeviceInformation();
    ShowSelectedEeprom();
    ShowEepromDirectory();
    ShowTargetAddress();
    ShowOperationalMode();

    // What the unit sends while no exchange runs (its status stream, a late
    // reply) is read and dropped as it arrives, so it never opens the next
    // reply. Exchanges never dispatch events, so none is in flight here.
    if (auto* link = dynamic_cast<CNetworkDeviceComm*>(m_pComm->GetDeviceLink()); link && link->SocketHandle() >= 0) {
        m_idleInput = new QSocketNotifier(link->SocketHandle(), QSocketNotifier::Read, this);
        connect(m_idleInput, &QSocketNotifier::activated, this, [this, link] {
            link->OnReceive();
            if (!link->IsConnected()) m_idleInput->setEnabled(false);  // closed: readable for ever
        });
    }

    m_tickerTarget = std::make_shared<CDialogTickerTarget>(this);
    m_hTicker = RegisterTickerTarget(m_tickerTarget);
    TickerAttachWindow(ProcessTickerFlags(), m_hTicker);
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
            for (; k < part.size() && part[k] >= '0' && part[k] <= '9'; ++k) v = v * 10 + static_cast<unsigned long>(part[k] - '0');
            last = static_cast<uint32_t>(v & 0xFF);
        }
        fields[i] = last;
        pos = dot == std::string::npos ? t.size() : dot + 1;
    }
    m_ctlTargetIp->SetAddress(fields[0] << 24 | fields[1] << 16 | fields[2] << 8 | fields[3]);
}

uint32_t CTR52K_FlashFileLoaderDlg::SaveTargetAddress() {
    uint8_t f[4];
    m_ctlTargetIp->GetAddress(f);
    const std::string text = Format("%u.%u.%u.%u", f[0], f[1], f[2], f[3]);
    // The dialog's copy changes only once the key could be opened.
    RegKey key = 0;
    uint32_t r = m_registry.CreateKey(SETTINGS_KEY_PATH, KEY_WRITE, &key);
    if (r == ERROR_SUCCESS && key) {
        m_registry.CloseKey(key);
        m_strTargetIp = text;
    }
    return SaveTargetAddressToRegistry(m_registry, text, m_box);
}

void CTR52K_FlashFileLoaderDlg::OnBnClickedSave() { SaveTargetAddress(); }

// --- Displays -----------------------------------------------------------

void CTR52K_FlashFileLoaderDlg::ShowSelectedEeprom() { ShowSelectedEeprom(m_eeprom.m_nSelectedEeprom); }

void CTR52K_FlashFileLoaderDlg::ShowSelectedEeprom(int32_t index) {
    for (int k = 0; k < EEPROM_COUNT; ++k) m_btnEeprom[static_cast<size_t>(k)]->setChecked(k == index);
}

void CTR52K_FlashFileLoaderDlg::ShowEepromDirectory() {
    for (int k = 0; k < EEPROM_COUNT; ++k)
        m_btnEeprom[static_cast<size_t>(k)]->setText(
            Q(Format("%8.8X : ", m_pComm->m_dwEepromImageId[k]) + PersonalityName(m_pComm->m_wEepromPersonality[k])));
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
    m_lblSerialNumber->setText(Q(versions().m_strSerialNumber));
    m_lblDsp1FwVer->setText(Q(Format("%8.8X", versions().m_dwDsp1FwVersion)));
    m_lblDsp2FwVer->setText(Q(Format("%8.8X", versions().m_dwDsp2FwVersion)));
    m_lblFioFpgaFwVer->setText(Q(Format("%8.8X", versions().m_dwFioFpgaFwVersion)));
    m_lblBridgeFpgaFwVer->setText(Q(Format("%8.8X", versions().m_dwBridgeFpgaFwVersion)));
    m_lblDpFpgaFwVer->setText(Q(Format("%8.8X", versions().m_dwDpFpgaFwVersion)));
    const uint8_t personality = versions().m_byPersonality;
    m_lblOpModeRaw->setText(Q(Format("0x%2.2X", personality)));
    m_lblOpMode->setText(PersonalityName(personality));
    m_lblDspBoardPcbRev->setText(Q(Format("%u", versions().m_byDspBoardPcbRev)));
    m_lblDpFpgaBoardPcbRev->setText(Q(Format("%u", versions().m_wDpFpgaBoardPcbRev)));
    m_lblDeviceId->setText(Q(Utf16ToUtf8(c.m_szDeviceId)));
    m_chkDhcpEnabled->setChecked(identity().m_bDhcpEnabled != 0);
    const uint32_t ip = identity().m_dwIpAddress;
    m_lblDeviceIp->setText(Q(Format("%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF)));
}

void CTR52K_FlashFileLoaderDlg::ShowOperationalMode() {
    for (int m = 1; m <= 3; ++m) m_chkOpMode[static_cast<size_t>(m)]->setChecked(m_pComm->m_nOperationalMode == m);
}

void CTR52K_FlashFileLoaderDlg::ShowPingResult() {
    std::string t;
    for (uint8_t b : m_pComm->m_PingReply) t += Format("%2.2X ", b);
    m_edtPingResult->setText(Q(t));
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

// --- Keys, double-clicks, About -------------------------------------------

bool CTR52K_FlashFileLoaderDlg::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease || type == QEvent::ShortcutOverride)) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && (w == this || isAncestorOf(w))) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            // Enter and Space do nothing anywhere in the dialog.
            if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) return true;
        }
    }
    if (type == QEvent::MouseButtonDblClick) {
        for (int k = 0; k < EEPROM_COUNT; ++k)
            if (watched == m_btnEeprom[static_cast<size_t>(k)]) {
                if (m_btnEeprom[static_cast<size_t>(k)]->isEnabled()) m_eeprom.OnBnDoubleClickedEeprom(k);
                return true;
            }
    }
    return QDialog::eventFilter(watched, event);
}

void CTR52K_FlashFileLoaderDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The window-menu entry of the original; window managers do not let a
    // program add to their menu, so it lives in the dialog's context menu.
    QMenu menu(this);
    menu.addAction("&About TR52K_FlashFileLoader...", this, &CTR52K_FlashFileLoaderDlg::ShowAbout);
    menu.exec(event->globalPos());
}

void CTR52K_FlashFileLoaderDlg::ShowAbout() {
    QMessageBox about(this);
    about.setWindowTitle("About TR52K_FlashFileLoader");
    about.setIconPixmap(ProgramIcon().pixmap(32, 32));
    about.setText(QString("TR52K Flash File Loader\n") + __DATE__ + " - " + __TIME__);
    about.exec();
}

// --- The update view ------------------------------------------------------

QProgressBar* CTR52K_FlashFileLoaderDlg::Bar(EProgressBar bar) const {
    return bar == EProgressBar::BulkErase ? m_prgBulkErase : m_prgPageProgram;
}

void CTR52K_FlashFileLoaderDlg::Repaint(QWidget* w) {
    // Handlers block this thread. The control draws itself at once, but no
    // event is dispatched: neither a click nor a tick of the ticker may run
    // inside a handler, so the ticker's message waits until it returns.
    w->repaint();
}

void CTR52K_FlashFileLoaderDlg::SetLabel(EProgressLabel label, const std::string& text) {
    QLabel* l = label == EProgressLabel::BulkErase ? m_lblBulkErase : m_lblPageProgram;
    l->setText(Q(text));
    Repaint(l);
}

void CTR52K_FlashFileLoaderDlg::SetProgressRange(EProgressBar bar, int32_t lower, int32_t upper) {
    Bar(bar)->setRange(lower, std::max(lower, upper));
    Repaint(Bar(bar));
}

void CTR52K_FlashFileLoaderDlg::SetProgressStep(EProgressBar bar, int32_t step) {
    m_steps[bar == EProgressBar::BulkErase ? 0 : 1] = step;
}

void CTR52K_FlashFileLoaderDlg::SetProgressPos(EProgressBar bar, int32_t pos) {
    Bar(bar)->setValue(std::clamp(pos, Bar(bar)->minimum(), Bar(bar)->maximum()));
    Repaint(Bar(bar));
}

void CTR52K_FlashFileLoaderDlg::StepProgress(EProgressBar bar) {
    QProgressBar* b = Bar(bar);
    int pos = b->value() + m_steps[bar == EProgressBar::BulkErase ? 0 : 1];
    if (pos > b->maximum()) pos = b->minimum() + (pos - b->maximum() - 1);  // wraps like the Windows bar
    b->setValue(pos);
    Repaint(b);
}

int32_t CTR52K_FlashFileLoaderDlg::GetProgressUpper(EProgressBar bar) { return Bar(bar)->maximum(); }

std::string CTR52K_FlashFileLoaderDlg::GetText(EUpdateText which) {
    switch (which) {
        case EUpdateText::Dsp1File: return m_edtDsp1File->text().toStdString();
        case EUpdateText::Dsp2File: return m_edtDsp2File->text().toStdString();
        case EUpdateText::EepromFile: return m_edtEepromFile->text().toStdString();
        case EUpdateText::BytesToWrite: return m_edtBytesToWrite->text().toStdString();
        case EUpdateText::BytesWritten: return m_edtBytesWritten->text().toStdString();
    }
    return {};
}

void CTR52K_FlashFileLoaderDlg::SetText(EUpdateText which, const std::string& text) {
    QLineEdit* e = which == EUpdateText::Dsp1File     ? m_edtDsp1File
                   : which == EUpdateText::Dsp2File   ? m_edtDsp2File
                   : which == EUpdateText::EepromFile ? m_edtEepromFile
                   : which == EUpdateText::BytesToWrite ? m_edtBytesToWrite
                                                        : m_edtBytesWritten;
    e->setText(Q(text));
    Repaint(e);
}

int CTR52K_FlashFileLoaderDlg::ShowMessageBox(const std::string& text, const std::string& caption, uint32_t type) {
    return m_box.Show(text, caption, type);
}

void CTR52K_FlashFileLoaderDlg::BeginBusy() { BeginBusyCursor(); }
void CTR52K_FlashFileLoaderDlg::EndBusy() { EndBusyCursor(); }

EFileChoice CTR52K_FlashFileLoaderDlg::ChooseFile(std::string* path, uint32_t* errorCode) {
    *errorCode = 0;
    QString file = QFileDialog::getOpenFileName(this, QString(), QString(), "Binary Files (*.bin)");
    if (file.isEmpty()) return EFileChoice::Cancelled;
    if (!file.contains('.')) file += ".bin";
    *path = file.toStdString();
    return EFileChoice::Chosen;
}

int32_t CTR52K_FlashFileLoaderDlg::FirstCheckedEeprom() {
    for (int k = 0; k < EEPROM_COUNT; ++k)
        if (m_btnEeprom[static_cast<size_t>(k)]->isChecked()) return k;
    return -1;
}

void CTR52K_FlashFileLoaderDlg::RequestClose() {
    QMetaObject::invokeMethod(this, [this] { reject(); }, Qt::QueuedConnection);
}
