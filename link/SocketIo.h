// The few socket calls the TCP link makes once it is connected, one set per
// system (in link/posix and link/win32, beside that system's constructor).
// The link's logic above them (link/NetworkDeviceComm.cpp) is the same on
// every system. Error codes are Windows Sockets codes everywhere, as the
// link's traces show them.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace socket_io
