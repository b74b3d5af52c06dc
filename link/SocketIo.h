// The few socket calls the TCP link makes once it is connected, one set per
// system (in link/posix and link/win32, beside that system's constructor).
// The link's logic above them (link/NetworkDeviceComm.cpp) is the same on
// every system. Error codes are Windows Sockets codes everywhere, as the
// link's traces show them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/NetworkDeviceComm.h"

namespace socket_io {

constexpr int kInterrupted = 10004;   // WSAEINTR
constexpr int kWouldBlock = 10035;    // WSAEWOULDBLOCK
constexpr int kNotSocket = 10038;     // WSAENOTSOCK
constexpr int kNotConnected = 10057;  // WSAENOTCONN

// One receive or send that does not wait: the byte count (> 0); 0 when the
// peer has closed the connection (receive) or nothing was taken (send); -1
// with *error set (kNotSocket for kNoSocket).
int64_t Receive(LinkSocket socket, uint8_t* buffer, size_t size, int* error);
int64_t Send(LinkSocket socket, const uint8_t* data, size_t size, int* error);

// Wait up to `ms` for the socket to become readable or writable; true when
// it did.
bool WaitReadable(LinkSocket socket, int ms);
void WaitWritable(LinkSocket socket, int ms);

// Both ends of a connected socket, as the capture names them; false when
// the system cannot tell.
bool Endpoints(LinkSocket socket, CCaptureEndpoint* local, CCaptureEndpoint* remote);

// A listening IPv4 socket (the relay's): kNoSocket, with the reason, when
// the address cannot be bound. *boundPort receives the port (0 picks one).
LinkSocket Listen(const std::string& ipv4, uint16_t port, uint16_t* boundPort, std::string* error);
// The next client, waiting at most `ms`; kNoSocket when none came.
LinkSocket Accept(LinkSocket listener, int ms);
// Waits up to `ms` for either socket to become readable: bit 0 for `a`,
// bit 1 for `b` (0: neither).
int WaitEitherReadable(LinkSocket a, LinkSocket b, int ms);
void CloseSocket(LinkSocket socket);

}  // namespace socket_io
