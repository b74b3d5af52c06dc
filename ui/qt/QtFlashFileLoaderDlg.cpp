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
#include "ui/DialogTemplate.h"
#include "ui/qt/DialogResources.h"
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

// Screen readers and test tools find each control by what it is: the caption
// for buttons and check boxes, the words beside it for edits, bars and values.
void CQtFlashFileLoaderDlg::NameControls() {
    for (const auto& [id, w] : m_byId) w->setAccessibleName(Q(ControlAccessibleName(id)));
    auto* ip = Widget<CIpAddressEdit>(IDC_TARGET_IP);
    for (int i = 0; i < 4; ++i) ip->Field(i)->setAccessibleName(Q(Format("Target address field %d", i + 1)));
}

// One widget for one statement of the template, as the Windows control of
// that type and style looks and behaves; null for a kind it does not know.
QWidget* CQtFlashFileLoaderDlg::MakeWidget(const CTemplateControl& c) {
    const QString text = Q(c.text);
    if (c.type == "GROUPBOX") {
        auto* g = new QGroupBox(text, this);
        if (c.Has("BS_CENTER")) g->setAlignment(Qt::AlignHCenter);
        return g;
    }
    if (c.type == "PUSHBUTTON") {
        auto* b = new QPushButton(text, this);
        b->setAutoDefault(false);
        return b;
    }
    if (c.type == "EDITTEXT") {
        auto* e = new QLineEdit(this);
        e->setReadOnly(c.Has("ES_READONLY"));
        if (c.Has("ES_CENTER")) e->setAlignment(Qt::AlignCenter);
        return e;
    }
    if (c.type == "LTEXT" || c.type == "RTEXT" || c.type == "CTEXT") {
        auto* l = new QLabel(text, this);
        l->setAlignment(c.type == "CTEXT"   ? Qt::AlignCenter
                        : c.type == "RTEXT" ? Qt::AlignRight | Qt::AlignVCenter
                                            : Qt::AlignLeft | Qt::AlignVCenter);
        l->setWordWrap(c.h > 12);  // taller than one line
        return l;
    }
    if (c.windowClass == "SysIPAddress32") return new CIpAddressEdit(this);
    if (c.windowClass == "msctls_progress32") {
        auto* b = new QProgressBar(this);
        b->setTextVisible(false);
        return b;
    }
    QAbstractButton* b = nullptr;
    if (c.Has("BS_RADIOBUTTON")) {
        auto* r = new CManualRadioButton(text, this);
        r->setAutoExclusive(false);
        r->setFocusPolicy(Qt::ClickFocus);
        r->installEventFilter(this);  // its double-click
        b = r;
    } else if (c.Has("BS_CHECKBOX")) {
        b = new CManualCheckBox(text, this);
    } else if (c.Has("BS_AUTOCHECKBOX")) {
        b = new QCheckBox(text, this);
    }
    if (b && c.Has("BS_LEFTTEXT")) b->setLayoutDirection(Qt::RightToLeft);
    return b;
}

// The widgets of template 102 as the resource script places them.
void CQtFlashFileLoaderDlg::CreateControls() {
    const std::optional<CDialogTemplate> t =
        ParseDialogTemplate(kResourceScript, "IDD_TR52K_FLASHFILELOADER_DIALOG", kControlIds);
    if (!t) qFatal("The dialog's template cannot be read from the resource script.");
    for (const CTemplateControl& c : t->controls) {
        QWidget* w = MakeWidget(c);
        if (!w) qFatal("The dialog's template has a control of an unknown kind: %s", c.idName.c_str());
        w->setGeometry(m_units.ToPixels(c.x, c.y, c.w, c.h));
        if (c.Has("WS_DISABLED")) w->setEnabled(false);
        if (c.type == "GROUPBOX") w->lower();
        if (c.id < 0) continue;
        w->setObjectName(Q(c.idName));
        m_byId[c.id] = w;
        m_templateRects[w->objectName()] = QRect(c.x, c.y, c.w, c.h);
    }
    NameControls();

    const std::pair<int, void (CTR52K_FlashFileLoaderDlg::*)()> handlers[] = {
        {IDC_SAVE_IP, &CTR52K_FlashFileLoaderDlg::OnBnClickedSave},
        {IDC_READ, &CTR52K_FlashFileLoaderDlg::OnBnClickedRead},
        {IDC_PING, &CTR52K_FlashFileLoaderDlg::OnBnClickedPing},
        {IDC_TURN_OFF_CONSOLIDATED_STATUS, &CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffConsolidatedStatus},
        {IDC_TURN_OFF_ALL_GRAPHS, &CTR52K_FlashFileLoaderDlg::OnBnClickedTurnOffAllGraphs},
        {IDC_DSP1_BROWSE, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp1Browse},
        {IDC_DSP1_LOAD, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp1Load},
        {IDC_DSP2_BROWSE, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp2Browse},
        {IDC_DSP2_LOAD, &CTR52K_FlashFileLoaderDlg::OnBnClickedDsp2Load},
        {IDC_EEPROM_BROWSE, &CTR52K_FlashFileLoaderDlg::OnBnClickedEepromBrowse},
        {IDC_EEPROM_LOAD, &CTR52K_FlashFileLoaderDlg::OnBnClickedEepromLoad},
    };
    for (const auto& [id, handler] : handlers)
        connect(Widget<QPushButton>(id), &QPushButton::clicked, this, [this, h = handler] { (m_core.*h)(); });
    for (int k = 0; k < EEPROM_COUNT; ++k)
        connect(Widget<QAbstractButton>(IDC_EEPROM_FIRST + k), &QAbstractButton::clicked, this,
                [this, k] { m_core.OnBnClickedEeprom(k); });
    for (int m = 1; m <= 3; ++m)
        connect(Widget<QAbstractButton>(IDC_OP_MODE_1 + m - 1), &QAbstractButton::clicked, this,
                [this, m] { m_core.OnBnClickedOpMode(m); });
}

int CQtFlashFileLoaderDlg::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
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
            if (QWidget* radio = Control(IDC_EEPROM_FIRST + k); watched == radio) {
                if (radio->isEnabled()) m_core.OnBnDoubleClickedEeprom(k);
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
