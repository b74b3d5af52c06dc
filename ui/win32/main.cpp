// tr52k-flash-loader.exe: the dialog program on Windows.
#include "platform/Win32Types.h"  // windows.h first

#include <commctrl.h>
#include <objbase.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/StartUp.h"
#include "link/NetworkDeviceComm.h"
#include "link/TcpCapture.h"
#include "platform/CommandLine.h"
#include "platform/DebugOutput.h"
#include "ui/win32/Win32FlashFileLoaderDlg.h"

int main(int argc, char** argv) {
    CUtf8Arguments arguments(argc, argv);
    for (const std::string& a : arguments.Args())
        if (a == "--version") {
            std::printf("tr52k-flash-loader %s\n", TR52K_VERSION);
            return 0;
        }
    // The trace goes to the debugger output, or to the file named by
    // TR52K_TRACE_FILE.
    std::unique_ptr<CFileDebugSink> trace;
    const std::string tracePath = EnvironmentUtf8("TR52K_TRACE_FILE");
    if (!tracePath.empty()) {
        trace = std::make_unique<CFileDebugSink>(tracePath);
        if (trace->IsOpen()) SetDebugSink(trace.get());
    }
    // The open-file dialog and the accessibility names need COM on this
    // thread; the version 6 controls (IP address, smooth bars) need their
    // classes registered.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // Restart after a crash or an update of the system, nothing more (no
    // recovery of data: the program keeps none between runs).
    ::RegisterApplicationRestart(nullptr, 0);
    INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
    ::InitCommonControlsEx(&controls);

    // Kept to the end of the process: the link may outlive the dialog.
    static std::unique_ptr<CTcpCapture> capture = StartCaptureFromEnvironment();
    CSystemMessageBox box;
    SetMessageBox(&box);
    std::unique_ptr<CRegistryStore> store = MakeSettingsStore();
    CRegistryStore& registry = *store;
    InitInstance(
        arguments.Args(), registry,
        [](const std::string& host, uint16_t port) { return new CNetworkDeviceComm(host, port); },
        [&](CTR52K1_Comm& comm, uint32_t noInit, const std::string& ip) {
            CWin32FlashFileLoaderDlg dlg(&comm, noInit, registry, PlatformBeeper());
            dlg.m_core.m_strTargetIp = ip;
            return dlg.DoModal();
        },
        box, [] { return CNetworkDeviceComm::StartSocketLayer(); });
    SetDebugSink(nullptr);
    ::CoUninitialize();
    return 0;
}
