// tr52k relay: a client (the dialog, a script, another program) talks to
// the unit through us, unchanged, while the capture records both
// directions. One client at a time, as the unit itself serves them; the
// next one waits in the listening queue.
#include <cstdio>
#include <string>

#include "cli/CliTypes.h"
#include "cli/OutputText.h"
#include "link/NetworkDeviceComm.h"
#include "link/SocketIo.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"

using namespace socket_io;

namespace {
// Sends all of it, waiting for room; false when the client has gone.
bool SendAllTo(LinkSocket socket, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        int error = 0;
        const int64_t w = Send(socket, data + done, size - done, &error);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && (error == kWouldBlock || error == kInterrupted)) {
            WaitWritable(socket, 100);
        } else {
            return false;
        }
        if (g_bStopRequested) return false;
    }
    return true;
}

// Passes bytes both ways until either side closes. Returns a line about
// the connection for the terminal.
std::string Pass(LinkSocket client, CNetworkDeviceComm& link) {
    uint8_t buffer[4096];
    uint64_t toUnit = 0, fromUnit = 0;
    std::string end = "the program was stopped";
    while (!g_bStopRequested) {
        const int ready = WaitEitherReadable(client, link.SocketHandle(), 100);
        if (ready & 1) {
            int error = 0;
            const int64_t r = Receive(client, buffer, sizeof buffer, &error);
            if (r == 0 || (r < 0 && error != kWouldBlock && error != kInterrupted)) {
                end = "the client closed the connection";
                break;
            }
            if (r > 0) {
                if (!link.WriteBuffer(buffer, static_cast<uint32_t>(r))) {
                    end = "the unit stopped taking bytes";
                    break;
                }
                toUnit += static_cast<uint64_t>(r);
            }
        }
        if (ready & 2) {
            const int64_t r = link.ReadAvailable(buffer, sizeof buffer);
            if (r < 0) {
                end = "the unit closed the connection";
                break;
            }
            if (r > 0 && !SendAllTo(client, buffer, static_cast<size_t>(r))) {
                end = "the client went away";
                break;
            }
            fromUnit += static_cast<uint64_t>(r > 0 ? r : 0);
        }
    }
    return Format("%s; %llu bytes to the unit, %llu back", end.c_str(), static_cast<unsigned long long>(toUnit),
                  static_cast<unsigned long long>(fromUnit));
}
}  // namespace

EExitCode RunRelay(const CRelayRequest& r, const std::function<void(uint16_t port)>& ready) {
    std::string error;
    uint16_t port = 0;
    const LinkSocket listener = Listen(r.listenAddress, r.listenPort, &port, &error);
    if (listener == kNoSocket) {
        output_text::Put(stderr, output_text::TerminalSafe("tr52k: " + error + "\n"));
        return EExitCode::BadArgument;
    }
    ready(port);
    while (!g_bStopRequested) {
        const LinkSocket client = Accept(listener, 100);
        if (client == kNoSocket) continue;
        output_text::Put(stderr, "relay: a client connected\n");
        CCapturingDebugSink trace;
        CScopedThreadDebugSink scoped(&trace);
        std::string line;
        {
            CNetworkDeviceComm link(r.unit, r.unitPort);
            if (!link.IsConnected()) {
                const std::string why = link.LastFailure().text;
                line = "cannot connect to " + r.unitName + (why.empty() ? "" : ": " + why);
            } else {
                line = Pass(client, link);
            }
        }
        CloseSocket(client);
        output_text::Put(stderr, output_text::TerminalSafe("relay: " + line + "\n"));
    }
    CloseSocket(listener);
    return EExitCode::Success;
}
