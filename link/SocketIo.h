// The socket calls the TCP link makes, one table per system (link/posix,
// link/win32). Everything above them, the connect sequence and its traces
// included, is written once in link/NetworkDeviceComm.cpp. Error codes are
// Windows Sockets codes everywhere, as the link's traces show them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/CaptureSink.h"

#ifdef _WIN32
using LinkSocket = uintptr_t;  // SOCKET
#else
using LinkSocket = int;
#endif
constexpr LinkSocket kNoSocket = static_cast<LinkSocket>(-1);  // INVALID_SOCKET on Windows

namespace socket_io {

constexpr int kInterrupted = 10004;      // WSAEINTR
constexpr int kFault = 10014;            // WSAEFAULT
constexpr int kWouldBlock = 10035;       // WSAEWOULDBLOCK
constexpr int kNotSocket = 10038;        // WSAENOTSOCK
constexpr int kNotConnected = 10057;     // WSAENOTCONN
constexpr int kHostUnreachable = 10065;  // WSAEHOSTUNREACH

// One address a host name resolved to, in the system's own form.
struct CSocketAddress {
    bool v6 = false;
    uint32_t length = 0;
    alignas(8) unsigned char bytes[128] = {};  // a sockaddr_storage
};

// The calls of one system. Each failing call leaves its code for
// lastError(), except those that return the code themselves.
struct CSocketCalls {
    bool (*startLayer)();  // once per process; false when it failed
    LinkSocket (*create)(bool v6);  // a stream socket, kNoSocket on failure
    bool (*lingerOff)(LinkSocket socket);
    // 0, or the code of the failure; `addresses` in the resolver's order.
    int (*resolve)(const std::string& host, uint16_t port, std::vector<CSocketAddress>* addresses);
    // 0, or the code of the failure; within `ms` (0: as long as the system
    // takes), WSAETIMEDOUT when the time ran out.
    int (*connectWithin)(LinkSocket socket, const CSocketAddress& address, int32_t ms);
    void (*afterConnect)(LinkSocket socket);  // single attempts from here on
    bool (*localName)(LinkSocket socket, CCaptureEndpoint* local);
    bool (*shutDown)(LinkSocket socket);  // both directions
    void (*close)(LinkSocket socket);
    int (*lastError)();
    // One attempt that does not wait: the byte count (> 0); 0 when the peer
    // has closed (receive) or nothing was taken (send); -1 with *error set
    // (kNotSocket for kNoSocket).
    int64_t (*receive)(LinkSocket socket, uint8_t* buffer, size_t size, int* error);
    int64_t (*send)(LinkSocket socket, const uint8_t* data, size_t size, int* error);
    // Up to `ms` for the socket to become readable (or writable); true
    // when it did.
    bool (*wait)(LinkSocket socket, bool writable, int ms);
    // The other end of a connected socket, as the capture names it.
    bool (*peerName)(LinkSocket socket, CCaptureEndpoint* remote);
};

// This system's table.
const CSocketCalls& SystemSockets();

// The relay's calls (cli/Relay.cpp), beside the link's.
inline int64_t Receive(LinkSocket s, uint8_t* buffer, size_t size, int* error) {
    return SystemSockets().receive(s, buffer, size, error);
}
inline int64_t Send(LinkSocket s, const uint8_t* data, size_t size, int* error) {
    return SystemSockets().send(s, data, size, error);
}
inline void WaitWritable(LinkSocket s, int ms) { SystemSockets().wait(s, true, ms); }
inline void CloseSocket(LinkSocket s) { SystemSockets().close(s); }
// A listening IPv4 socket: kNoSocket, with the reason, when the address
// cannot be bound. *boundPort receives the port (0 picks one).
LinkSocket Listen(const std::string& ipv4, uint16_t port, uint16_t* boundPort, std::string* error);
// The next client, waiting at most `ms`; kNoSocket when none came.
LinkSocket Accept(LinkSocket listener, int ms);
// Waits up to `ms` for either socket to become readable: bit 0 for `a`,
// bit 1 for `b` (0: neither).
int WaitEitherReadable(LinkSocket a, LinkSocket b, int ms);

}  // namespace socket_io
