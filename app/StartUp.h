// The program's start-up and shut-down, free of any window system: settings,
// the one TCP link, the command object, one ping, then the dialog run by the
// front end, and the clean-up its result asks for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "protocol/TR52K1_Comm.h"

// Runs the dialog modally and returns its result (IDOK, IDCANCEL, -1).
using DialogRunner = std::function<int(CTR52K1_Comm& comm, uint32_t noInitStatus, const std::string& targetIp)>;
// Makes the link; the real program passes the TCP link.
using LinkFactory = std::function<CBaseClass*(const std::string& host, uint16_t port)>;

// Starts the system's socket layer; false when it could not be started.
using SocketLayerStarter = std::function<bool()>;

// Returns the dialog's result, or 0 when the socket layer could not be
// started (the program ends before the dialog). The link and the command
// object are deleted only after IDOK; otherwise they live until the process
// ends. Without a socket-layer starter (POSIX sockets need none) its two
// checks are left out.
int InitInstance(const std::vector<std::string>& args, CRegistryStore& registry, const LinkFactory& makeLink,
                 const DialogRunner& runDialog, CMessageBox& box = GetMessageBox(),
                 const SocketLayerStarter& startSocketLayer = {});
