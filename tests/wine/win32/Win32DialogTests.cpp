// The Windows dialog's binding in its own process: the real window from its
// template, the real controls, the real message loop, over a simulated unit.
// What the toolkit adds to the dialog's behaviour is checked here: the
// IP-address control's fields, the bars, Enter and Space taken by the
// accelerators, the ticker's messages sent from its thread, the close.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/Settings.h"
#include "platform/Registry.h"
#include "ui/win32/Win32FlashFileLoaderDlg.h"
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
    bool Key(HWND target, UINT message, WPARAM vk) {
        MSG msg{target, message, vk, 1, 0, {}};
        return dlg.PumpMessage(&msg);
    }
};

// The address control shows the saved text as the IP-address control parses it, and
// a blank field is saved as 0.
TEST(Win32Dialog, TargetAddressThroughTheIpAddressControl) {
    Rig r;
    const struct { const char* text; uint32_t shown; } cases[] = {
        {"192.168.1.300", 0xC0A8012C}, {"192..1.5", 0xC0C00105}, {"", 0}, {"127.0.0.1", 0x7F000001}};
    for (const auto& c : cases) {
        r.dlg.m_core.m_strTargetIp = c.text;
        r.dlg.m_core.ShowTargetAddress();
        uint8_t fields[4];
        EXPECT_EQ(r.dlg.GetIpAddress(IDC_TARGET_IP, fields), c.shown) << c.text;
        EXPECT_EQ(fields[0], c.shown >> 24) << c.text;
    }
    r.dlg.SetIpAddress(IDC_TARGET_IP, 0x0A010304);
    // The third field emptied, as a user would leave it.
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
    EXPECT_EQ(r.dlg.m_core.m_strTargetIp, "10.1.0.4");
    const auto& v = r.registry.m_hive[SETTINGS_KEY_PATH]["ETHERNET_IP_ADDR"];
    EXPECT_EQ(RegSzBytesToUtf8(v.data.data(), v.data.size()), "10.1.0.4");
}

// Start-up through the real controls: the values, the bars' range, the
// radio of the current EEPROM, the caption.
TEST(Win32Dialog, StartUpFillsTheRealControls) {
    Rig r;
    EXPECT_EQ(r.dlg.GetControlText(0), "Korvanex TR52K Flash File Loader");
    // In the middle of the screen's work area, not in its corner.
    RECT window, area;
    ASSERT_TRUE(::GetWindowRect(r.dlg.Window(), &window));
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(::GetMonitorInfoW(::MonitorFromWindow(r.dlg.Window(), MONITOR_DEFAULTTOPRIMARY), &monitor));
    area = monitor.rcWork;
    if (window.right - window.left < area.right - area.left) {
        EXPECT_NEAR(window.left - area.left, area.right - window.right, 1);
    }
    if (window.bottom - window.top < area.bottom - area.top) {
        EXPECT_NEAR(window.top - area.top, area.bottom - window.bottom, 1);
    }
    EXPECT_EQ(r.dlg.GetControlText(IDC_SERIAL_NUMBER), "00AB-005");
    EXPECT_EQ(r.dlg.GetProgressLower(IDC_PRG_BULK_ERASE), 0);
    EXPECT_EQ(r.dlg.GetProgressUpper(IDC_PRG_PAGE_PROGRAM), 255);
    EXPECT_TRUE(r.dlg.GetCheck(IDC_EEPROM_FIRST));
    EXPECT_FALSE(r.dlg.GetCheck(IDC_EEPROM_FIRST + 1));
    EXPECT_TRUE(::IsWindowEnabled(r.Item(IDC_EEPROM_LOAD)));
    EXPECT_FALSE(::IsWindowEnabled(r.Item(IDC_PING_RESULT)));
    // The ticker sends to this window, named by its window handle.
    EXPECT_EQ(ProcessTickerFlags().g_hTickerWnd.load(), reinterpret_cast<uintptr_t>(r.dlg.Window()));
    r.dlg.SetProgressRange(IDC_PRG_PAGE_PROGRAM, 0, 17);
    r.dlg.SetProgressPos(IDC_PRG_PAGE_PROGRAM, 5);
    EXPECT_EQ(r.dlg.GetProgressPos(IDC_PRG_PAGE_PROGRAM), 5);
    EXPECT_EQ(r.dlg.GetProgressUpper(IDC_PRG_PAGE_PROGRAM), 17);
    // Text that is not ASCII survives the trip through the wide controls.
    r.dlg.SetControlText(IDC_EEPROM_FILE, "C:\\Прошивка ü\\tr52K_dp.bin");
    EXPECT_EQ(r.dlg.GetControlText(IDC_EEPROM_FILE), "C:\\Прошивка ü\\tr52K_dp.bin");
}

// Enter and Space are taken before the dialog manager or a control sees
// them: a focused button is not pressed, no blank is typed, the dialog
// stays. Escape still closes it.
TEST(Win32Dialog, EnterAndSpaceDoNothingEscapeCloses) {
    Rig r;
    const int pings = r.sim.Count(0x0000);
    for (int id : {int(IDC_PING), int(IDC_DSP1_FILE)}) {
        ::SetFocus(r.Item(id));
        for (WPARAM vk : {WPARAM(VK_SPACE), WPARAM(VK_RETURN)}) {
            EXPECT_TRUE(r.Key(r.Item(id), WM_KEYDOWN, vk)) << id << " " << vk;
            r.Key(r.Item(id), WM_KEYUP, vk);
            r.Pump();
        }
    }
    EXPECT_EQ(r.sim.Count(0x0000), pings);
    EXPECT_EQ(r.dlg.GetControlText(IDC_PING_RESULT), "");
    EXPECT_EQ(r.dlg.GetControlText(IDC_DSP1_FILE), "");
    EXPECT_TRUE(::IsWindow(r.dlg.Window()));

    // A click does press it.
    ::SendMessageW(r.Item(IDC_PING), BM_CLICK, 0, 0);
    EXPECT_EQ(r.sim.Count(0x0000), pings + 1);
    EXPECT_EQ(r.dlg.GetControlText(IDC_PING_RESULT), "68 00 00 00 00 00 ");

    ::PostMessageW(r.Item(IDC_DSP1_FILE), WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(r.dlg.RunModalLoop(), IDCANCEL);
    EXPECT_EQ(r.dlg.Window(), nullptr);
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
    EXPECT_TRUE(r.dlg.GetCheck(IDC_EEPROM_FIRST + 2));
    EXPECT_FALSE(r.dlg.GetCheck(IDC_EEPROM_FIRST));
}

// An EEPROM update from the controls advances only by the ticker's window
// messages, sent from its own thread and handled in this thread's loop;
// the close request a successful DSP load makes ends the loop.
TEST(Win32Dialog, TheTickerDrivesAnUpdateThroughWindowMessages) {
    Rig r;
    ::SendMessageW(r.Item(IDC_EEPROM_FIRST + 4), BM_CLICK, 0, 0);
    EXPECT_TRUE(r.dlg.GetCheck(IDC_EEPROM_FIRST + 4));
    r.dlg.SetControlText(IDC_EEPROM_FILE, r.sim.File("tr52K_dp.bin", Pattern(1000)));
    ::SendMessageW(r.Item(IDC_EEPROM_LOAD), BM_CLICK, 0, 0);
    ASSERT_TRUE(r.dlg.m_core.m_eeprom.UpdateRunning());
    // Nothing happens while this thread takes no messages.
    ::Sleep(300);
    EXPECT_EQ(r.sim.Count(0x1023) + r.sim.Count(0x1021), 0);  // no status poll, no page
    const auto until = ::GetTickCount64() + 60000;
    while (r.dlg.m_core.m_eeprom.UpdateRunning() && ::GetTickCount64() < until) {
        r.sim.clock.Advance(50);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        r.Pump();
    }
    EXPECT_FALSE(r.dlg.m_core.m_eeprom.UpdateRunning());
    EXPECT_EQ(r.sim.unit.m_eeproms[4], Pattern(1000, 1024));
    ASSERT_FALSE(r.boxes.Boxes().empty());
    EXPECT_EQ(r.boxes.Boxes().back().text, "DP FPGA Configuration EEPROM Update has completed.");
    EXPECT_EQ(r.dlg.GetControlText(IDC_BYTES_WRITTEN), "1,024");

    r.dlg.PostClose();
    EXPECT_EQ(r.dlg.RunModalLoop(), IDCANCEL);
}

}  // namespace
