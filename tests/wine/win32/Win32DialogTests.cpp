// The Windows dialog's binding in its own process: the real window from its
// template, the real controls, the real message loop, over a simulated unit.
// What the toolkit adds to the dialog's behaviour is checked here: the
// IP-address control's fields, the bars, Enter and Space taken by the
// accelerators in the loop, a double-click on a radio, the close.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/Settings.h"
#include "platform/Registry.h"
#include "ui/win32/Win32FlashFileLoaderDlg.h"
#include "ui/win32/resource.h"
#include "update/UpdateTestSupport.h"

namespace {

struct Rig {
    CSimulatedUnit sim;
    CMemoryRegistryStore registry;
    CRecordingMessageBox boxes;
    CRecordingBeeper beeps;
    CWin32FlashFileLoaderDlg dlg{&sim.comm, 0, registry, boxes, beeps};
    Rig() {
        dlg.m_core.m_dsp.m_onUpdateEnded = dlg.m_core.m_eeprom.m_onUpdateEnded = nullptr;  // no history from tests
        EXPECT_TRUE(dlg.Create());
    }
    HWND Item(int id) const { return ::GetDlgItem(dlg.Window(), id); }
    // Handles what is waiting, as the loop would.
    void Pump() {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) dlg.PumpMessage(&msg);
    }
};

// A field the user leaves blank in the IP-address control is saved as 0.
TEST(Win32Dialog, ABlankFieldOfTheIpAddressControlIsSavedAsZero) {
    Rig r;
    r.dlg.SetIpAddress(IDC_TARGET_IP, 0x7F010304);
    std::vector<std::pair<LONG, HWND>> edits;
    for (HWND f = ::FindWindowExW(r.Item(IDC_TARGET_IP), nullptr, L"Edit", nullptr); f;
         f = ::FindWindowExW(r.Item(IDC_TARGET_IP), f, L"Edit", nullptr)) {
        RECT rect;
        ::GetWindowRect(f, &rect);
        edits.emplace_back(rect.left, f);
    }
    ASSERT_EQ(edits.size(), 4u);
    std::sort(edits.begin(), edits.end());
    ::SetWindowTextW(edits[2].second, L"");
    EXPECT_NE(r.dlg.m_core.SaveTargetAddress(), 0u);
    const auto& v = r.registry.m_hive[SETTINGS_KEY_PATH]["ETHERNET_IP_ADDR"];
    EXPECT_EQ(RegSzBytesToUtf8(v.data.data(), v.data.size()), "127.1.0.4");
}

// The window in the middle of the screen's work area, the About entry in
// its system menu, the bars' range and position.
TEST(Win32Dialog, TheWindowItsMenuAndItsBars) {
    Rig r;
    RECT window;
    ASSERT_TRUE(::GetWindowRect(r.dlg.Window(), &window));
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(::GetMonitorInfoW(::MonitorFromWindow(r.dlg.Window(), MONITOR_DEFAULTTOPRIMARY), &monitor));
    const RECT area = monitor.rcWork;
    if (window.right - window.left < area.right - area.left) {
        EXPECT_NEAR(window.left - area.left, area.right - window.right, 1);
    }
    if (window.bottom - window.top < area.bottom - area.top) {
        EXPECT_NEAR(window.top - area.top, area.bottom - window.bottom, 1);
    }
    EXPECT_NE(::GetMenuState(::GetSystemMenu(r.dlg.Window(), FALSE), IDM_ABOUTBOX, MF_BYCOMMAND), UINT(-1));
    EXPECT_EQ(r.dlg.GetProgressUpper(IDC_PRG_PAGE_PROGRAM), 255);
    r.dlg.SetProgressRange(IDC_PRG_PAGE_PROGRAM, 0, 17);
    r.dlg.SetProgressPos(IDC_PRG_PAGE_PROGRAM, 5);
    EXPECT_EQ(r.dlg.GetProgressLower(IDC_PRG_PAGE_PROGRAM), 0);
    EXPECT_EQ(r.dlg.GetProgressUpper(IDC_PRG_PAGE_PROGRAM), 17);
    EXPECT_EQ(r.dlg.GetProgressPos(IDC_PRG_PAGE_PROGRAM), 5);
}

// Enter and Space, on a focused button or an edit, are taken by the loop
// before the dialog manager or a control sees them: no button is pressed,
// the dialog stays. Escape still closes it.
TEST(Win32Dialog, EnterAndSpaceDoNothingEscapeCloses) {
    Rig r;
    const int pings = r.sim.Count(0x0000);
    ::SetFocus(r.Item(IDC_PING));
    for (int id : {int(IDC_PING), int(IDC_DSP1_FILE)}) {
        for (WPARAM vk : {WPARAM(VK_SPACE), WPARAM(VK_RETURN)}) {
            ::PostMessageW(r.Item(id), WM_KEYDOWN, vk, 1);
            ::PostMessageW(r.Item(id), WM_KEYUP, vk, 0xC0000001);
        }
    }
    ::PostMessageW(r.Item(IDC_DSP1_FILE), WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(r.dlg.RunModalLoop(), IDCANCEL);  // not IDOK, as Enter would give
    EXPECT_EQ(r.dlg.Window(), nullptr);
    EXPECT_EQ(r.sim.Count(0x0000), pings);
}

// A double-click on an EEPROM's radio button, as the mouse makes it, makes
// that EEPROM the unit's current one; a single click only marks it.
TEST(Win32Dialog, DoubleClickOnAnEepromSelectsItOnTheUnit) {
    Rig r;
    HWND radio = r.Item(IDC_EEPROM_FIRST + 2);
    ::SendMessageW(radio, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    ::SendMessageW(radio, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    r.Pump();
    EXPECT_TRUE(r.dlg.GetCheck(IDC_EEPROM_FIRST + 2));
    EXPECT_EQ(r.sim.Count(0x1024), 0);
    ::SendMessageW(radio, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(4, 4));
    ::SendMessageW(radio, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    r.Pump();
    ASSERT_EQ(r.sim.Count(0x1024), 1);
    EXPECT_EQ(r.sim.comm.m_nCurrentEeprom, 2);  // read back from the unit
    EXPECT_FALSE(r.dlg.GetCheck(IDC_EEPROM_FIRST));
}

}  // namespace
