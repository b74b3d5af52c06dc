// tr52k-flash-loader: the dialog program.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <memory>

#include "app/StartUp.h"
#include "link/NetworkDeviceComm.h"
#include "link/TcpCapture.h"
#include "platform/DebugOutput.h"
#include "ui/qt/QtFlashFileLoaderDlg.h"
#include "ui/qt/QtPlatform.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--version") {
            std::printf("tr52k-flash-loader %s\n", TR52K_VERSION);
            return 0;
        }
    QApplication app(argc, argv);
    // The trace goes to stderr, or to the file named by TR52K_TRACE_FILE.
    std::unique_ptr<CFileDebugSink> trace;
    if (const char* path = std::getenv("TR52K_TRACE_FILE")) {
        trace = std::make_unique<CFileDebugSink>(path);
        if (trace->IsOpen()) SetDebugSink(trace.get());
    }
    // Kept to the end of the process: the link may outlive the dialog.
    static std::unique_ptr<CTcpCapture> capture = StartCaptureFromEnvironment();
    CQtMessageBox box;
    CPulseBeeper beeper;
    SetMessageBox(&box);
    SetBeeper(&beeper);
    std::unique_ptr<CRegistryStore> store = MakeSettingsStore();
    CRegistryStore& registry = *store;
    std::vector<std::string> args(argv, argv + argc);
    InitInstance(
        args, registry, [](const std::string& host, uint16_t port) { return new CNetworkDeviceComm(host, port); },
        [&](CTR52K1_Comm& comm, uint32_t noInit, const std::string& ip) {
            CQtFlashFileLoaderDlg dlg(&comm, noInit, registry, box, beeper);
            dlg.m_core.m_strTargetIp = ip;
            return dlg.DoModal();
        },
        box);
    SetDebugSink(nullptr);
    return 0;
}
