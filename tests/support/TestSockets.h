// The unit's end of a test connection, on POSIX sockets or Windows
// Sockets: the few calls the link tests make, with one spelling.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include "link/NetworkDeviceComm.h"
#include "platform/Win32Types.h"
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace test_sockets {

#ifdef _WIN32
using Socket = uintptr_t;
inline int Poll(pollfd* p, unsigned long n, int ms) { return ::WSAPoll(p, n, ms); }
inline void Close(Socket s) { ::closesocket(s); }
constexpr int kNoSignal = 0;
inline Socket NewSocket() {
    CNetworkDeviceComm::StartSocketLayer();
    return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}
#else
using Socket = int;
inline int Poll(pollfd* p, unsigned long n, int ms) { return ::poll(p, n, ms); }
inline void Close(Socket s) { ::close(s); }
constexpr int kNoSignal = MSG_NOSIGNAL;
inline Socket NewSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
#endif
constexpr Socket kNone = static_cast<Socket>(-1);

template <typename T>
int SetOption(Socket s, int level, int name, const T& value) {
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// Up to 5 s: generous, so a fault fails the test instead of hanging it.
inline bool WaitReadable(Socket s, int ms = 5000) {
    pollfd p{s, POLLIN, 0};
    return Poll(&p, 1, ms) == 1;
}

// A TCP socket on 127.0.0.1 with a system-chosen port; unless it listens,
// connecting to it is refused.
inline Socket Loopback(bool listening, uint16_t& port) {
    Socket s = NewSocket();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (listening && ::listen(s, 4) != 0)) return kNone;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

inline Socket Accept(Socket listener) { return ::accept(listener, nullptr, nullptr); }

inline long Send(Socket s, const uint8_t* data, size_t size) {
    return ::send(s, reinterpret_cast<const char*>(data), static_cast<int>(size), kNoSignal);
}

inline long Receive(Socket s, uint8_t* data, size_t size) {
    return ::recv(s, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
}

inline uint16_t PeerPort(Socket s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}

}  // namespace test_sockets
