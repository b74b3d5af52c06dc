#include "ui/qt/QtFlashFileLoaderDlg.h"

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
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"
#include "ui/qt/QtPlatform.h"

using namespace win32;

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }

QIcon ProgramIcon() { return QIcon(QPixmap::fromImage(ProgramIconImage(64))); }

// Delivers the ticker's messages into the dialog's thread and waits until
// they are handled; a message for a dialog that has gone does nothing.
class CDialogTickerTarget : public CTickerTarget {
public:
    explicit CDialogTickerTarget(CQtFlashFileLoaderDlg* dlg) : m_dlg(dlg) {}
    void Send(uint32_t message, uintptr_t wParam) override {
        QPointer<CQtFlashFileLoaderDlg> dlg = m_dlg;
        if (!dlg) return;
        QMetaObject::invokeMethod(
            dlg, [dlg, message, wParam] { if (dlg) dlg->m_core.OnTickerMessage(message, wParam); },
            Qt::BlockingQueuedConnection);
    }

private:
    QPointer<CQtFlashFileLoaderDlg> m_dlg;
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

CQtFlashFileLoaderDlg::CQtFlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus, CRegistryStore& registry,
                                             CMessageBox& box, CBeeper& beeper)
    : QDialog(nullptr), m_core(comm, noInitStatus, registry, *this, box, beeper) {
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
}

CQtFlashFileLoaderDlg::~CQtFlashFileLoaderDlg() { qApp->removeEventFilter(this); }

template <class W>
W* CQtFlashFileLoaderDlg::Place(W* widget, const char* name, int x, int y, int w, int h, int id) {
    widget->setObjectName(name);
    if (id) m_byId[id] = widget;
    widget->setGeometry(m_units.ToPixels(x, y, w, h));
    m_templateRects[name] = QRect(x, y, w, h);
    return widget;
}

// Screen readers and test tools find each control by what it is: the caption
// for buttons and check boxes, the words beside it for edits, bars and values.
void CQtFlashFileLoaderDlg::NameControls() {
    for (const auto& [id, w] : m_byId) w->setAccessibleName(Q(ControlAccessibleName(id)));
    for (int i = 0; i < 4; ++i) m_ctlTargetIp->Field(i)->setAccessibleName(Q(Format("Target address field %d", i + 1)));
}

void CQtFlashFileLoaderDlg::CreateControls() {
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
    auto button = [&](const char* text, const char* name, int x, int y, int w, int h, int id) {
        return Place(new QPushButton(text, this), name, x, y, w, h, id);
    };
    auto edit = [&](const char* name, int x, int y, int w, int h, bool readOnly, bool centred, int id) {
        auto* e = Place(new QLineEdit(this), name, x, y, w, h, id);
        e->setReadOnly(readOnly);
        if (centred) e->setAlignment(Qt::AlignCenter);
        return e;
    };
    auto value = [&](const char* text, const char* name, int id, int x, int y, int w, int h,
                     Qt::Alignment a = Qt::AlignLeft | Qt::AlignVCenter) {
        auto* l = Place(new QLabel(text, this), name, x, y, w, h, id);
        l->setAlignment(a);
        return l;
    };
    auto bar = [&](const char* name, int x, int y, int w, int h, int id) {
        auto* b = Place(new QProgressBar(this), name, x, y, w, h, id);
        b->setTextVisible(false);
        b->setEnabled(false);
        return b;
    };

    m_ctlTargetIp = Place(new CIpAddressEdit(this), "m_ctlTargetIp", 15, 19, 100, 15, IDC_TARGET_IP);
    m_btnSaveIp = button("Save", "m_btnSaveIp", 123, 19, 35, 15, IDC_SAVE_IP);
    m_prgBulkErase = bar("m_prgBulkErase", 216, 19, 101, 12, IDC_PRG_BULK_ERASE);
    m_lblBulkErase = value("Bulk Erase:", "m_lblBulkErase", IDC_LBL_BULK_ERASE, 174, 19, 40, 12, Qt::AlignRight | Qt::AlignVCenter);
    m_prgPageProgram = bar("m_prgPageProgram", 369, 19, 101, 12, IDC_PRG_PAGE_PROGRAM);
    m_lblPageProgram = value("Page Prgrm:", "m_lblPageProgram", IDC_LBL_PAGE_PROGRAM, 324, 19, 43, 12, Qt::AlignRight | Qt::AlignVCenter);
    m_edtBytesToWrite = edit("m_edtBytesToWrite", 535, 19, 43, 12, true, true, IDC_BYTES_TO_WRITE);
    m_edtBytesWritten = edit("m_edtBytesWritten", 633, 19, 43, 12, true, true, IDC_BYTES_WRITTEN);
    m_edtDsp1File = edit("m_edtDsp1File", 15, 53, 586, 12, false, false, IDC_DSP1_FILE);
    m_btnDsp1Browse = button("Browse", "m_btnDsp1Browse", 606, 53, 32, 12, IDC_DSP1_BROWSE);
    m_btnDsp1Load = button("Load", "m_btnDsp1Load", 644, 53, 32, 12, IDC_DSP1_LOAD);
    m_edtDsp2File = edit("m_edtDsp2File", 15, 87, 586, 12, false, false, IDC_DSP2_FILE);
    m_btnDsp2Browse = button("Browse", "m_btnDsp2Browse", 606, 87, 32, 12, IDC_DSP2_BROWSE);
    m_btnDsp2Load = button("Load", "m_btnDsp2Load", 644, 87, 32, 12, IDC_DSP2_LOAD);
    for (int k = 0; k < EEPROM_COUNT; ++k) {
        const int x = (k / 4 == 0) ? 112 : (k / 4 == 1 ? 307 : 502);
        const int lx = (k / 4 == 0) ? 96 : (k / 4 == 1 ? 292 : 485);
        const int y = 127 + 13 * (k % 4);
        const std::string name = "m_btnEeprom_" + std::to_string(k);
        auto* r = new CManualRadioButton(Q("EEPROM_" + std::to_string(k)), this);
        r->setAutoExclusive(false);
        r->setFocusPolicy(Qt::ClickFocus);
        Place(r, name.c_str(), x, y, 178, 8, IDC_EEPROM_FIRST + k);
        r->installEventFilter(this);
        m_btnEeprom[static_cast<size_t>(k)] = r;
        label((std::to_string(k) + ":").c_str(), lx, y, 12, 8);
        connect(r, &QAbstractButton::clicked, this, [this, k] { m_core.OnBnClickedEeprom(k); });
    }
    auto* note = label("Select Target EEPROM and Completely TURN OFF all Anti-Virus and Anti-Malware software.", 14,
                       134, 76, 35, Qt::AlignCenter);
    note->setWordWrap(true);
    m_edtEepromFile = edit("m_edtEepromFile", 15, 180, 586, 12, false, false, IDC_EEPROM_FILE);
    m_btnEepromBrowse = button("Browse", "m_btnEepromBrowse", 606, 180, 32, 12, IDC_EEPROM_BROWSE);
    m_btnEepromLoad = button("Load", "m_btnEepromLoad", 644, 180, 32, 12, IDC_EEPROM_LOAD);
    m_btnRead = button("Read", "m_btnRead", 644, 240, 32, 12, IDC_READ);
    m_lblSerialNumber = value("serial number", "m_lblSerialNumber", IDC_SERIAL_NUMBER, 90, 216, 68, 8);
    m_lblDsp1FwVer = value("dsp1 fw ver", "m_lblDsp1FwVer", IDC_DSP1_FW_VER, 449, 216, 36, 8);
    m_lblDsp2FwVer = value("dsp2 fw ver", "m_lblDsp2FwVer", IDC_DSP2_FW_VER, 449, 230, 36, 8);
    m_lblFioFpgaFwVer = value("fio fpga fw", "m_lblFioFpgaFwVer", IDC_FIO_FPGA_FW_VER, 591, 216, 36, 8);
    m_lblBridgeFpgaFwVer = value("bridge fpga fw", "m_lblBridgeFpgaFwVer", IDC_BRIDGE_FPGA_FW_VER, 591, 230, 36, 8);
    m_lblDpFpgaFwVer = value("dp fpga fw", "m_lblDpFpgaFwVer", IDC_DP_FPGA_FW_VER, 591, 244, 36, 8);
    m_lblOpModeRaw = value("op mode raw", "m_lblOpModeRaw", IDC_OP_MODE_RAW, 128, 244, 15, 8);
    m_lblOpMode = value("op mode", "m_lblOpMode", IDC_OP_MODE, 149, 244, 129, 8);
    m_lblDspBoardPcbRev = value("0", "m_lblDspBoardPcbRev", IDC_DSP_BOARD_PCB_REV, 344, 216, 15, 8, Qt::AlignCenter);
    m_lblDpFpgaBoardPcbRev = value("0", "m_lblDpFpgaBoardPcbRev", IDC_DP_FPGA_BOARD_PCB_REV, 344, 230, 15, 8, Qt::AlignCenter);
    m_lblDeviceId = value("user note", "m_lblDeviceId", IDC_DEVICE_ID, 90, 230, 84, 8);
    m_chkDhcpEnabled = Place(new CManualCheckBox(this), "m_chkDhcpEnabled", 346, 244, 9, 8, IDC_DHCP_ENABLED);
    m_chkDhcpEnabled->setLayoutDirection(Qt::RightToLeft);
    m_lblDeviceIp = value("ip address", "m_lblDeviceIp", IDC_DEVICE_IP, 449, 244, 54, 8);
    m_btnTurnOffConsolidatedStatus = button("Turn Off Consolidated Status", "m_btnTurnOffConsolidatedStatus", 15, 284, 112, 12, IDC_TURN_OFF_CONSOLIDATED_STATUS);
    m_btnTurnOffAllGraphs = button("Turn Off All Graphs", "m_btnTurnOffAllGraphs", 130, 284, 112, 12, IDC_TURN_OFF_ALL_GRAPHS);
    m_btnPing = button("Ping", "m_btnPing", 15, 302, 28, 12, IDC_PING);
    m_edtPingResult = edit("m_edtPingResult", 46, 302, 66, 12, true, true, IDC_PING_RESULT);
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
                        modes[m - 1].w, 12, IDC_OP_MODE_1 + m - 1);
        c->setLayoutDirection(Qt::RightToLeft);
        m_chkOpMode[static_cast<size_t>(m)] = c;
        connect(c, &QAbstractButton::clicked, this, [this, m] { m_core.OnBnClickedOpMode(m); });
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

    const std::pair<QPushButton*, void (CTR52K_FlashFileLoaderDlg::*)()> handlers[] = {
        {m_btnSaveIp, &CTR52K_FlashFileLoaderDlg::OnBnClickedSave},
        {m_btnRead, &CTR52K_FlashFileLoaderDlg::OnBnClickedRead},
        {m_btnPing, &CTR52K_FlashFileLoaderDlg::OnBnClickedPing},
        {m_btnTurnOffConsolidatedStatus, &CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffConsolidatedStatus},
        {m_btnTurnOffAllGraphs, &CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffAllGraphs},
        {m_btnDsp1Browse, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp1Browse},
        {m_btnDsp1Load, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp1Load},
        {m_btnDsp2Browse, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp2Browse},
        {m_btnDsp2Load, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp2Load},
        {m_btnEepromBrowse, &CTR52K_FlashFileLoaderDlg::OnBnClickedEepromBrowse},
        {m_btnEepromLoad, &CTR52K_FlashFileLoaderDlg::OnBnClickedEepromLoad},
    };
    for (const auto& [button, handler] : handlers)
        connect(button, &QPushButton::clicked, this, [this, handler = handler] { (m_core.*handler)(); });
    for (QPushButton* b : findChildren<QPushButton*>()) b->setAutoDefault(false);
}

int CQtFlashFileLoaderDlg::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CQtFlashFileLoaderDlg::OnInitDialog() {
    if (m_bInitialised) return;
    m_bInitialised = true;
    m_core.OnInitDialog();
}

void CQtFlashFileLoaderDlg::WatchInput(intptr_t handle, bool watch) {
    if (m_idleInput) {
        // It may be the notifier whose signal is being handled.
        m_idleInput->setEnabled(false);
        m_idleInput->deleteLater();
        m_idleInput = nullptr;
    }
    if (!watch) return;
    m_idleInput = new QSocketNotifier(static_cast<qintptr>(handle), QSocketNotifier::Read, this);
    connect(m_idleInput, &QSocketNotifier::activated, this, [this] { m_core.OnIdleInput(); });
}

std::shared_ptr<CTickerTarget> CQtFlashFileLoaderDlg::TickerTarget(uintptr_t* window) {
    *window = 0;
    return std::make_shared<CDialogTickerTarget>(this);
}

// --- Keys, double-clicks, About -------------------------------------------

bool CQtFlashFileLoaderDlg::eventFilter(QObject* watched, QEvent* event) {
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
                if (m_btnEeprom[static_cast<size_t>(k)]->isEnabled()) m_core.OnBnDoubleClickedEeprom(k);
                return true;
            }
    }
    return QDialog::eventFilter(watched, event);
}

void CQtFlashFileLoaderDlg::contextMenuEvent(QContextMenuEvent* event) {
    // On Windows the About entry is on the window menu; window managers do
    // not let a program add to theirs, so here it is in the context menu.
    QMenu menu(this);
    menu.addAction("&About TR52K_FlashFileLoader...", this, &CQtFlashFileLoaderDlg::ShowAbout);
    menu.exec(event->globalPos());
}

void CQtFlashFileLoaderDlg::ShowAbout() {
    QMessageBox about(this);
    about.setWindowTitle("About TR52K_FlashFileLoader");
    about.setIconPixmap(ProgramIcon().pixmap(32, 32));
    about.setText(QString("TR52K Flash File Loader\n") + __DATE__ + " - " + __TIME__);
    about.exec();
}

// --- The controls, by template id ------------------------------------------

QWidget* CQtFlashFileLoaderDlg::Control(int id) const {
    auto it = m_byId.find(id);
    return it == m_byId.end() ? nullptr : it->second;
}

void CQtFlashFileLoaderDlg::Repaint(QWidget* w) {
    // Handlers block this thread. The control draws itself at once, but no
    // event is dispatched: neither a click nor a tick of the ticker may run
    // inside a handler, so the ticker's message waits until it returns.
    w->repaint();
}

void CQtFlashFileLoaderDlg::SetControlText(int id, const std::string& text) {
    if (id == 0) return setWindowTitle(Q(text));
    QWidget* w = Control(id);
    if (auto* l = qobject_cast<QLabel*>(w)) l->setText(Q(text));
    else if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(Q(text));
    else if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(Q(text));
    else return;
    Repaint(w);
}

std::string CQtFlashFileLoaderDlg::GetControlText(int id) {
    if (id == 0) return windowTitle().toStdString();
    QWidget* w = Control(id);
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
    return {};
}

void CQtFlashFileLoaderDlg::SetCheck(int id, bool checked) {
    if (auto* b = qobject_cast<QAbstractButton*>(Control(id))) b->setChecked(checked);
}

bool CQtFlashFileLoaderDlg::GetCheck(int id) {
    auto* b = qobject_cast<QAbstractButton*>(Control(id));
    return b && b->isChecked();
}

void CQtFlashFileLoaderDlg::EnableControl(int id, bool enable) {
    if (QWidget* w = Control(id)) w->setEnabled(enable);
}

void CQtFlashFileLoaderDlg::SetProgressRange(int id, int32_t lower, int32_t upper) {
    if (auto* b = qobject_cast<QProgressBar*>(Control(id))) {
        b->setRange(lower, upper);
        Repaint(b);
    }
}

void CQtFlashFileLoaderDlg::SetProgressPos(int id, int32_t pos) {
    if (auto* b = qobject_cast<QProgressBar*>(Control(id))) {
        b->setValue(pos);
        Repaint(b);
    }
}

int32_t CQtFlashFileLoaderDlg::GetProgressPos(int id) {
    auto* b = qobject_cast<QProgressBar*>(Control(id));
    return b ? b->value() : 0;
}

int32_t CQtFlashFileLoaderDlg::GetProgressLower(int id) {
    auto* b = qobject_cast<QProgressBar*>(Control(id));
    return b ? b->minimum() : 0;
}

int32_t CQtFlashFileLoaderDlg::GetProgressUpper(int id) {
    auto* b = qobject_cast<QProgressBar*>(Control(id));
    return b ? b->maximum() : 0;
}

void CQtFlashFileLoaderDlg::SetIpAddress(int id, uint32_t address) {
    if (auto* ip = qobject_cast<CIpAddressEdit*>(Control(id))) ip->SetAddress(address);
}

uint32_t CQtFlashFileLoaderDlg::GetIpAddress(int id, uint8_t fields[4]) {
    auto* ip = qobject_cast<CIpAddressEdit*>(Control(id));
    return ip ? ip->GetAddress(fields) : 0;
}

void CQtFlashFileLoaderDlg::BeginBusyCursor() { ::BeginBusyCursor(); }
void CQtFlashFileLoaderDlg::EndBusyCursor() { ::EndBusyCursor(); }

EFileChoice CQtFlashFileLoaderDlg::ChooseBinaryFile(std::string* path, uint32_t* errorCode) {
    *errorCode = 0;
    QString file = QFileDialog::getOpenFileName(this, QString(), QString(), "Binary Files (*.bin)");
    if (file.isEmpty()) return EFileChoice::Cancelled;
    if (!file.contains('.')) file += ".bin";
    *path = file.toStdString();
    return EFileChoice::Chosen;
}

bool CQtFlashFileLoaderDlg::AskYesNo(const std::string& question, const std::string& caption) {
    QMessageBox box(QMessageBox::Question, Q(caption), Q(question), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void CQtFlashFileLoaderDlg::reject() {
    if (m_core.CanClose()) QDialog::reject();
}

void CQtFlashFileLoaderDlg::PostClose() {
    QMetaObject::invokeMethod(this, [this] { reject(); }, Qt::QueuedConnection);
}
