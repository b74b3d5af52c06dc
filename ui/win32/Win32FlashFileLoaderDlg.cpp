#include "ui/win32/Win32FlashFileLoaderDlg.h"

#include <commctrl.h>
#include <commdlg.h>
#include <initguid.h>  // the GUIDs of oleacc.h defined here
#include <oleacc.h>

#include <algorithm>
#include <vector>

#include "platform/Text.h"
#include "platform/win32/WideText.h"
#include "ui/win32/resource.h"

using win32_text::Narrow;
using win32_text::Widen;

namespace {

// Delivers the ticker's messages the way the system delivers a message sent
// from another thread: the sender waits until the dialog's thread has
// handled it, and that thread handles it only where it takes messages
// (between handlers, or in a modal loop a handler runs). A send to a window
// that has gone does nothing.
class CWindowTickerTarget : public CTickerTarget {
public:
    explicit CWindowTickerTarget(HWND hwnd) : m_hWnd(hwnd) {}
    void Send(uint32_t message, uintptr_t wParam) override {
        ::SendMessageW(m_hWnd, message, static_cast<WPARAM>(wParam), 0);
    }

private:
    const HWND m_hWnd;
};

std::wstring WindowText(HWND hwnd) {
    if (!hwnd) return {};
    const int length = ::GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

// Puts the window in the middle of `over` (the screen's work area when
// there is none), kept whole on that monitor.
void CenterWindow(HWND window, HWND over) {
    RECT rect, target;
    if (!::GetWindowRect(window, &rect)) return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    const HMONITOR m = ::MonitorFromWindow(over ? over : window, MONITOR_DEFAULTTOPRIMARY);
    if (!::GetMonitorInfoW(m, &monitor)) return;
    const RECT& area = monitor.rcWork;
    if (!over || !::IsWindowVisible(over) || ::IsIconic(over) || !::GetWindowRect(over, &target)) target = area;
    const LONG width = rect.right - rect.left, height = rect.bottom - rect.top;
    LONG x = target.left + (target.right - target.left - width) / 2;
    LONG y = target.top + (target.bottom - target.top - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    ::SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The next window this thread activates (a message box, the open-file
// dialog) is centred over `owner` while the object lives: those place
// themselves wherever the system likes, often the screen's corner.
class CCenterNextWindow {
public:
    explicit CCenterNextWindow(HWND owner) {
        s_owner = owner;
        s_hook = owner ? ::SetWindowsHookExW(WH_CBT, Proc, nullptr, ::GetCurrentThreadId()) : nullptr;
    }
    ~CCenterNextWindow() {
        if (s_hook) ::UnhookWindowsHookEx(s_hook);
        s_hook = nullptr;
    }
    CCenterNextWindow(const CCenterNextWindow&) = delete;
    CCenterNextWindow& operator=(const CCenterNextWindow&) = delete;

private:
    static LRESULT CALLBACK Proc(int code, WPARAM wParam, LPARAM lParam) {
        const HHOOK hook = s_hook;
        if (code == HCBT_ACTIVATE && hook && reinterpret_cast<HWND>(wParam) != s_owner) {
            CenterWindow(reinterpret_cast<HWND>(wParam), s_owner);
            ::UnhookWindowsHookEx(hook);
            s_hook = nullptr;
        }
        return ::CallNextHookEx(hook, code, wParam, lParam);
    }
    static thread_local HHOOK s_hook;
    static thread_local HWND s_owner;
};
thread_local HHOOK CCenterNextWindow::s_hook = nullptr;
thread_local HWND CCenterNextWindow::s_owner = nullptr;

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            CenterWindow(hwnd, ::GetWindow(hwnd, GW_OWNER));
            ::SetDlgItemTextW(hwnd, IDC_BUILD_TIME, Widen(std::string(__DATE__) + " - " + __TIME__).c_str());
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            break;
    }
    return FALSE;
}

}  // namespace

void ShowAboutBox(HWND owner) {
    ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProc, 0);
}

CWin32FlashFileLoaderDlg::CWin32FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus,
                                                   CRegistryStore& registry, CBeeper& beeper)
    : CWin32FlashFileLoaderDlg(comm, noInitStatus, registry, m_ownedBox, beeper) {}

CWin32FlashFileLoaderDlg::CWin32FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus,
                                                   CRegistryStore& registry, CMessageBox& box, CBeeper& beeper)
    : m_core(comm, noInitStatus, registry, *this, box, beeper) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    m_hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                              ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
    m_hSmallIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                                   ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
}

CWin32FlashFileLoaderDlg::~CWin32FlashFileLoaderDlg() {
    if (m_hWnd) ::DestroyWindow(m_hWnd);
    if (m_accProps) m_accProps->Release();
    if (m_hIcon) ::DestroyIcon(m_hIcon);
    if (m_hSmallIcon) ::DestroyIcon(m_hSmallIcon);
}

int CWin32FlashFileLoaderDlg::DoModal() {
    if (!Create()) return -1;
    ::ShowWindow(m_hWnd, SW_SHOW);
    ::SetForegroundWindow(m_hWnd);
    return RunModalLoop();
}

bool CWin32FlashFileLoaderDlg::Create() {
    return ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_TR52K_FLASHFILELOADER_DIALOG),
                                nullptr, DialogProc, reinterpret_cast<LPARAM>(this)) != nullptr;
}

bool CWin32FlashFileLoaderDlg::PumpMessage(MSG* msg) {
    if (PreTranslateMessage(msg)) return true;
    if (!::IsDialogMessageW(m_hWnd, msg)) {
        ::TranslateMessage(msg);
        ::DispatchMessageW(msg);
    }
    return false;
}

int CWin32FlashFileLoaderDlg::RunModalLoop() {
    const HWND hwnd = m_hWnd;
    MSG msg{};
    bool quit = false;
    while (!m_bEnded) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {  // WM_QUIT: end the dialog, then pass it on
            quit = true;
            EndDialog(IDCANCEL);
            break;
        }
        if (got < 0) {
            EndDialog(-1);
            break;
        }
        PumpMessage(&msg);
    }
    m_core.OnWindowGone();
    ::DestroyWindow(hwnd);
    m_hWnd = nullptr;
    if (quit) ::PostQuitMessage(static_cast<int>(msg.wParam));
    return m_nResult;
}

void CWin32FlashFileLoaderDlg::OnCloseRequest() {
    if (!m_bEnded && m_core.CanClose()) EndDialog(IDCANCEL);
}

void CWin32FlashFileLoaderDlg::EndDialog(int result) {
    m_nResult = result;
    m_bEnded = true;
}

INT_PTR CALLBACK CWin32FlashFileLoaderDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CWin32FlashFileLoaderDlg*>(lParam);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
        self->m_hWnd = hwnd;
        self->OnInitDialog();
        return TRUE;
    }
    auto* self = reinterpret_cast<CWin32FlashFileLoaderDlg*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CWin32FlashFileLoaderDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
        case WM_CLOSE:
            OnCloseRequest();
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                OnSysCommand(wParam, lParam);
                return TRUE;
            }
            return FALSE;
        case WM_PAINT:
            return OnPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(m_hIcon));
            return TRUE;
        case WM_SETCURSOR:
            if (m_nBusy > 0) {
                ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
                ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
                return TRUE;
            }
            return FALSE;
        case WM_EEPROM_ERASE_TICK:
        case WM_EEPROM_PAGE_TICK:
        case WM_EXTRA_BYTES_CHECK:
            // A tick sent while the window was closing finds nothing to do.
            if (!m_bEnded) m_core.OnTickerMessage(message, static_cast<uintptr_t>(wParam));
            return TRUE;
        case WM_LINK_NOTIFY:
            m_core.OnIdleInput();
            return TRUE;
    }
    return FALSE;
}

void CWin32FlashFileLoaderDlg::OnInitDialog() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    m_hAccel = ::LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATOR1));
    if (HMENU menu = ::GetSystemMenu(m_hWnd, FALSE)) {
        wchar_t about[128] = {};
        if (::LoadStringW(instance, IDS_ABOUTBOX, about, 128) > 0) {
            ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    // In the middle of the screen, not at the template's 0, 0.
    CenterWindow(m_hWnd, nullptr);
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon ? m_hSmallIcon : m_hIcon));
    NameControls();

    m_core.OnInitDialog();
}

void CWin32FlashFileLoaderDlg::WatchInput(intptr_t handle, bool watch) {
    // The link's socket is already non-blocking; a closed one stops the notices.
    ::WSAAsyncSelect(static_cast<SOCKET>(handle), m_hWnd, watch ? WM_LINK_NOTIFY : 0, watch ? FD_READ | FD_CLOSE : 0);
}

std::shared_ptr<CTickerTarget> CWin32FlashFileLoaderDlg::TickerTarget(uintptr_t* window) {
    // The ticker names this window by its handle.
    *window = reinterpret_cast<uintptr_t>(m_hWnd);
    return std::make_shared<CWindowTickerTarget>(m_hWnd);
}

// Screen readers read a control's name from the label before it; most
// controls here have none in that place, so each gets its name set.
void CWin32FlashFileLoaderDlg::NameControls() {
    if (FAILED(::CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                  reinterpret_cast<void**>(&m_accProps))) ||
        !m_accProps)
        return;
    for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        const std::string name = ControlAccessibleName(::GetDlgCtrlID(child));
        if (!name.empty())
            m_accProps->SetHwndPropStr(child, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_NAME,
                                       Widen(name).c_str());
    }
}

bool CWin32FlashFileLoaderDlg::OnCommand(int id, int code) {
    if (id >= IDC_EEPROM_FIRST && id < IDC_EEPROM_FIRST + EEPROM_COUNT) {
        if (code == BN_CLICKED) m_core.OnBnClickedEeprom(id - IDC_EEPROM_FIRST);
        if (code == BN_DOUBLECLICKED) m_core.OnBnDoubleClickedEeprom(id - IDC_EEPROM_FIRST);
        return true;
    }
    switch (id) {
        case IDCANCEL:  // Escape
            OnCloseRequest();
            return true;
        case IDOK:  // Enter never ends the dialog
        case ID_ACCEL_ENTER:
        case ID_ACCEL_SPACE:
            return true;
    }
    if (code != BN_CLICKED) return false;
    switch (id) {
        case IDC_SAVE_IP: m_core.OnBnClickedSave(); return true;
        case IDC_READ: m_core.OnBnClickedRead(); return true;
        case IDC_PING: m_core.OnBnClickedPing(); return true;
        case IDC_TURN_OFF_CONSOLIDATED_STATUS: m_core.OnBnClickedTurnOffConsolidatedStatus(); return true;
        case IDC_TURN_OFF_ALL_GRAPHS: m_core.OnBnClickedTurnOffAllGraphs(); return true;
        case IDC_OP_MODE_1:
        case IDC_OP_MODE_1 + 1:
        case IDC_OP_MODE_1 + 2: m_core.OnBnClickedOpMode(id - IDC_OP_MODE_1 + 1); return true;
        case IDC_DSP1_BROWSE: m_core.OnBnClickedDsp1Browse(); return true;
        case IDC_DSP1_LOAD: m_core.OnBnClickedDsp1Load(); return true;
        case IDC_DSP2_BROWSE: m_core.OnBnClickedDsp2Browse(); return true;
        case IDC_DSP2_LOAD: m_core.OnBnClickedDsp2Load(); return true;
        case IDC_EEPROM_BROWSE: m_core.OnBnClickedEepromBrowse(); return true;
        case IDC_EEPROM_LOAD: m_core.OnBnClickedEepromLoad(); return true;
    }
    return false;
}

// Enter and Space go through the accelerator table before the dialog
// manager or a control sees them, so they do nothing anywhere.
bool CWin32FlashFileLoaderDlg::PreTranslateMessage(MSG* msg) {
    if (msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST &&
        (msg->wParam == VK_RETURN || msg->wParam == VK_SPACE) && m_hAccel)
        return ::TranslateAcceleratorW(m_hWnd, m_hAccel, msg) != 0;
    return false;
}

void CWin32FlashFileLoaderDlg::OnSysCommand(WPARAM, LPARAM) { ShowAboutBox(m_hWnd); }

bool CWin32FlashFileLoaderDlg::OnPaint() {
    if (!::IsIconic(m_hWnd)) return false;  // the dialog paints itself
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    ::SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT rect;
    ::GetClientRect(m_hWnd, &rect);
    const int x = (rect.right - rect.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (rect.bottom - rect.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
    return true;
}

// --- CDialogControls ---------------------------------------------------------

void CWin32FlashFileLoaderDlg::SetControlText(int id, const std::string& text) {
    HWND target = id == 0 ? m_hWnd : Item(id);
    if (!target) return;
    ::SetWindowTextW(target, Widen(text).c_str());
    // Handlers hold the thread while they talk to the unit: show the new
    // text now rather than when the handler returns.
    ::UpdateWindow(target);
}

std::string CWin32FlashFileLoaderDlg::GetControlText(int id) {
    return Narrow(WindowText(id == 0 ? m_hWnd : Item(id)));
}

void CWin32FlashFileLoaderDlg::SetCheck(int id, bool checked) {
    ::CheckDlgButton(m_hWnd, id, checked ? BST_CHECKED : BST_UNCHECKED);
    if (HWND item = Item(id)) ::UpdateWindow(item);
}

bool CWin32FlashFileLoaderDlg::GetCheck(int id) { return ::IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED; }

void CWin32FlashFileLoaderDlg::EnableControl(int id, bool enable) {
    if (HWND item = Item(id)) ::EnableWindow(item, enable ? TRUE : FALSE);
}

void CWin32FlashFileLoaderDlg::SetProgressRange(int id, int32_t lower, int32_t upper) {
    ::SendDlgItemMessageW(m_hWnd, id, PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
}

void CWin32FlashFileLoaderDlg::SetProgressPos(int id, int32_t pos) {
    ::SendDlgItemMessageW(m_hWnd, id, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    if (HWND item = Item(id)) ::UpdateWindow(item);
}

int32_t CWin32FlashFileLoaderDlg::GetProgressPos(int id) {
    return static_cast<int32_t>(::SendDlgItemMessageW(m_hWnd, id, PBM_GETPOS, 0, 0));
}

int32_t CWin32FlashFileLoaderDlg::GetProgressLower(int id) {
    return static_cast<int32_t>(::SendDlgItemMessageW(m_hWnd, id, PBM_GETRANGE, TRUE, 0));
}

int32_t CWin32FlashFileLoaderDlg::GetProgressUpper(int id) {
    return static_cast<int32_t>(::SendDlgItemMessageW(m_hWnd, id, PBM_GETRANGE, FALSE, 0));
}

void CWin32FlashFileLoaderDlg::SetIpAddress(int id, uint32_t address) {
    ::SendDlgItemMessageW(m_hWnd, id, IPM_SETADDRESS, 0, static_cast<LPARAM>(address));
}

uint32_t CWin32FlashFileLoaderDlg::GetIpAddress(int id, uint8_t fields[4]) {
    DWORD address = 0;  // a blank field reads 0
    ::SendDlgItemMessageW(m_hWnd, id, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
    if (fields) {
        fields[0] = static_cast<uint8_t>(FIRST_IPADDRESS(address));
        fields[1] = static_cast<uint8_t>(SECOND_IPADDRESS(address));
        fields[2] = static_cast<uint8_t>(THIRD_IPADDRESS(address));
        fields[3] = static_cast<uint8_t>(FOURTH_IPADDRESS(address));
    }
    return address;
}

void CWin32FlashFileLoaderDlg::BeginBusyCursor() {
    if (m_nBusy++ == 0) ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
}

void CWin32FlashFileLoaderDlg::EndBusyCursor() {
    if (m_nBusy > 0 && --m_nBusy == 0) {
        // Let the window under the pointer choose its cursor again.
        POINT p;
        ::GetCursorPos(&p);
        ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW));
        ::SetCursorPos(p.x, p.y);
    }
}

EFileChoice CWin32FlashFileLoaderDlg::ChooseBinaryFile(std::string* path, uint32_t* errorCode) {
    *errorCode = 0;
    std::vector<wchar_t> file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = L"Binary Files (*.bin)\0*.bin\0";
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrDefExt = L"bin";
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_ENABLESIZING | OFN_EXPLORER;
    CCenterNextWindow centered(m_hWnd);
    if (::GetOpenFileNameW(&ofn)) {
        *path = Narrow(file.data());
        return EFileChoice::Chosen;
    }
    *errorCode = ::CommDlgExtendedError();
    return *errorCode == 0 ? EFileChoice::Cancelled : EFileChoice::Failed;
}

void CWin32FlashFileLoaderDlg::COwnedMessageBox::Show(const std::string& text, const std::string& caption,
                                                      EMessageKind kind) {
    CCenterNextWindow centered(m_dlg.m_hWnd);
    ::MessageBoxW(m_dlg.m_hWnd, Widen(text).c_str(), Widen(caption).c_str(), SystemBoxStyle(kind));
}

bool CWin32FlashFileLoaderDlg::AskYesNo(const std::string& question, const std::string& caption) {
    CCenterNextWindow centered(m_hWnd);
    return ::MessageBoxW(m_hWnd, Widen(question).c_str(), Widen(caption).c_str(),
                         MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void CWin32FlashFileLoaderDlg::PostClose() { ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0); }
