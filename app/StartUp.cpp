#include "app/StartUp.h"

#include <memory>

#include "app/Settings.h"
#include "platform/CommandLine.h"
#include "platform/DebugOutput.h"
#include "platform/Win32Types.h"

using namespace win32;

int InitInstance(const std::vector<std::string>& args, CRegistryStore& registry, const LinkFactory& makeLink,
                 const DialogRunner& runDialog, CMessageBox& box, const SocketLayerStarter& startSocketLayer) {
    // Written first and unconditionally, before the socket layer is started.
    DebugOutput("WSAStartup() suceeded.\r\n");
    if (startSocketLayer && !startSocketLayer()) {
        box.Show("Windows sockets initialization failed.", "TR52K_FlashFileLoader", EMessageKind::Warning);
        return 0;
    }

    CTR52K_FlashFileLoaderSettings settings(registry, box);
    settings.LoadSettings();
    settings.ApplyCommandLine(args);
    // Confirmed once more before the link is made; a failure is shown and
    // start-up goes on (the link then fails and says why in the trace).
    if (startSocketLayer && !startSocketLayer())
        box.Show("AfxSocketInit() was not successfully started.", "Network Error", EMessageKind::Error);

    CBaseClass* link = makeLink(settings.m_strTargetIp, settings.m_nTargetPort);
    auto* comm = new CTR52K1_Comm(link);
    comm->m_nResponseTimeoutMs = 1000;
    comm->Ping();  // result not looked at: a silent unit still gets the dialog

    const int result = runDialog(*comm, settings.m_bNoInitStatus, settings.m_strTargetIp);
    if (result == -1) box.Show("Dialog could not be created", "Dialog Error", EMessageKind::Error);
    if (result == IDOK) {
        delete link;  // shuts the connection down
        delete comm;
    } else {
        // The normal way out (IDCANCEL): the objects end with the process
        // and the system closes the connection. Kept reachable on purpose.
        static auto* processLifetime = new std::vector<std::unique_ptr<CBaseClass>>();
        static auto* commLifetime = new std::vector<std::unique_ptr<CTR52K1_Comm>>();
        processLifetime->emplace_back(link);
        commLifetime->emplace_back(comm);
    }
    return result;
}
