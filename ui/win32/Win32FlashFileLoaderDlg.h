// The loader's window on Windows: a real dialog made from template 102 of
// the program's resources, its controls bound by their ids to the dialog's
// behaviour (CTR52K_FlashFileLoaderDlg). The modal loop is the dialog's own,
// so Enter and Space can go through accelerator table 129 before the
// dialog manager sees them; the ticker's messages arrive as window messages
// sent to this window.
#pragma once

#include "platform/Win32Types.h"  // windows.h first

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Beep.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "protocol/TR52K1_Comm.h"
#include "ui/DialogControls.h"
#include "ui/DialogCore.h"
#include "update/Ticker.h"

// Sent to the dialog by Windows Sockets when the unit's data arrives or it
// closes the connection while no exchange reads it.
constexpr UINT WM_LINK_NOTIFY = WM_APP + 1;

class CWin32FlashFileLoaderDlg : public CDialogControls {
public:
    // The dialog's boxes are the system's, owned by its window: while one is
    // up the window takes no clicks, so nothing starts under it.
    CWin32FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus, CRegistryStore& registry, CBeeper& beeper);
    // Boxes shown through `box` (tests record them).
    CWin32FlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus, CRegistryStore& registry,
                             CMessageBox& box = GetMessageBox(), CBeeper& beeper = GetBeeper());
    ~CWin32FlashFileLoaderDlg() override;
    CWin32FlashFileLoaderDlg(const CWin32FlashFileLoaderDlg&) = delete;
    CWin32FlashFileLoaderDlg& operator=(const CWin32FlashFileLoaderDlg&) = delete;

    // Creates the window from its template, runs its modal loop and
    // returns the result: IDCANCEL when closed, -1 when it could not be
    // created.
    int DoModal();

    // DoModal in its steps, for tests that work the window between them:
    // Create makes the window from its template (hidden) and initialises
    // it; PumpMessage handles one message as the loop does (true when
    // Enter or Space was taken by the accelerators); RunModalLoop runs
    // until the dialog ends, then destroys the window.
    bool Create();
    bool PumpMessage(MSG* msg);
    int RunModalLoop();
    HWND Window() const { return m_hWnd; }

    // CDialogControls over the window's controls.
    void SetControlText(int id, const std::string& text) override;
    std::string GetControlText(int id) override;
    void SetCheck(int id, bool checked) override;
    bool GetCheck(int id) override;
    void EnableControl(int id, bool enable) override;
    void SetProgressRange(int id, int32_t lower, int32_t upper) override;
    void SetProgressPos(int id, int32_t pos) override;
    int32_t GetProgressPos(int id) override;
    int32_t GetProgressLower(int id) override;
    int32_t GetProgressUpper(int id) override;
    void SetIpAddress(int id, uint32_t address) override;
    uint32_t GetIpAddress(int id, uint8_t fields[4]) override;
    void BeginBusyCursor() override;
    void EndBusyCursor() override;
    EFileChoice ChooseBinaryFile(std::string* path, uint32_t* errorCode) override;
    bool AskYesNo(const std::string& question, const std::string& caption) override;
    void PostClose() override;
    void WatchInput(intptr_t handle, bool watch) override;
    std::shared_ptr<CTickerTarget> TickerTarget(uintptr_t* window) override;

private:
    class COwnedMessageBox : public CMessageBox {
    public:
        explicit COwnedMessageBox(const CWin32FlashFileLoaderDlg& dlg) : m_dlg(dlg) {}
        void Show(const std::string& text, const std::string& caption, EMessageKind kind) override;

    private:
        const CWin32FlashFileLoaderDlg& m_dlg;
    };
    COwnedMessageBox m_ownedBox{*this};  // made before the core that uses it

public:
    CTR52K_FlashFileLoaderDlg m_core;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    bool OnCommand(int id, int code);
    bool PreTranslateMessage(MSG* msg);
    void OnSysCommand(WPARAM command, LPARAM lParam);
    bool OnPaint();
    void NameControls();
    void EndDialog(int result);
    void OnCloseRequest();
    HWND Item(int id) const { return ::GetDlgItem(m_hWnd, id); }

    HWND m_hWnd = nullptr;
    HICON m_hIcon = nullptr;
    HICON m_hSmallIcon = nullptr;
    HACCEL m_hAccel = nullptr;
    bool m_bEnded = false;
    int m_nResult = IDCANCEL;
    int m_nBusy = 0;
    struct IAccPropServices* m_accProps = nullptr;
};

// The About box of the system menu (template 100): the build's date and time.
void ShowAboutBox(HWND owner);
