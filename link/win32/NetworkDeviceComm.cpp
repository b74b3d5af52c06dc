// TCP link on Windows Sockets.
//
// The same link as on POSIX, step for step and trace for trace: create,
// linger off, connect (host names resolved here; IPv4 first, IPv6 only for
// a host without any IPv4 address), local name. The error codes in the
// traces are the system's own (WSAGetLastError, and getaddrinfo's result,
// which is a Windows Sockets code here). Windows Sockets is started on the
// first link, so no front end has to remember it.
//
// The socket blocks while it connects and is non-blocking from then on.
// Sending and receiving are link/NetworkDeviceComm.cpp's; the socket calls
// they make (WSAPoll() for the waits) are at the end of this file.
#include "link/NetworkDeviceComm.h"
#include "link/SocketIo.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"
#include <ws2tcpip.h>

namespace {
// connect() bounded by `timeoutMs` (0: the system's own, about 21 s for a
// unit that is powered off). Returns 0, or the Windows Sockets code of the
// failure; WSAETIMEDOUT when the time ran out. select() rather than
// WSAPoll(), which older Windows does not wake for a failed connect.
int ConnectWithin(SOCKET socket, const sockaddr* address, int length, int32_t timeoutMs) {
    if (timeoutMs <= 0) return ::connect(socket, address, length) == 0 ? 0 : ::WSAGetLastError();
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) return ::WSAGetLastError();
    int error = 0;
    if (::connect(socket, address, length) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(socket, &writable);
            FD_SET(socket, &failed);
            timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
            const int ready = ::select(0, nullptr, &writable, &failed, &wait);
            if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (ready < 0) {
                error = ::WSAGetLastError();
            } else {
                int size = sizeof error;
                if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
                    error = ::WSAGetLastError();
            }
        }
    }
    nonBlocking = 0;
    ::ioctlsocket(socket, FIONBIO, &nonBlocking);
    return error;
}

SOCKET CreateStreamSocket(int family) {
    SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    linger off{0, 0};
    if (::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off) != 0) {
        const int err = ::WSAGetLastError();
        ::closesocket(s);
        ::WSASetLastError(err);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

bool CNetworkDeviceComm::StartSocketLayer() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

CNetworkDeviceComm::CNetworkDeviceComm(const std::string& host, uint16_t port, CClock& clock)
    : m_clock(clock) {
    const bool tooLong = Utf16Length(host) > MAX_ADDRESS_CHARS;
    m_szRemoteAddress = FitAddressField(host);
    SetRemotePort(port);

    // A failed start shows as WSANOTINITIALISED from the socket() below.
    StartSocketLayer();
    m_socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    m_bConnected = m_socket != INVALID_SOCKET;
    if (!m_bConnected) {
        ReportSocketError(::WSAGetLastError(), "CSocket::Create()");
        return;
    }
    DebugOutput("***** CSocket::Create() in CNetworkDeviceComm() ctor succeeded.\r\n");

    linger off{0, 0};
    m_bConnected =
        ::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off) == 0;
    if (!m_bConnected) {
        ReportSocketError(::WSAGetLastError(), "CSocket::SetSockOpt()");
        return;
    }
    DebugOutput("***** CSocket::SetSockOpt() in CNetworkDeviceComm() ctor succeeded.\r\n");

    if (tooLong) {
        m_bConnected = 0;
        DebugOutput(Format("***** Host address of %zu characters refused; at most %zu are accepted.\r\n",
                           Utf16Length(host), MAX_ADDRESS_CHARS));
        ReportSocketError(10014, "CSocket::Connect()");
        return;
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), std::to_string(GetRemotePort()).c_str(), &hints, &list);
    if (gai != 0 || !list) {
        m_bConnected = 0;
        ReportSocketError(gai != 0 ? static_cast<uint32_t>(gai) : WSAHOST_NOT_FOUND, "CSocket::Connect()");
        if (list) ::freeaddrinfo(list);
        return;
    }
    bool haveV4 = false;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) haveV4 = haveV4 || ai->ai_family == AF_INET;
    const int family = haveV4 ? AF_INET : AF_INET6;
    int lastError = WSAEHOSTUNREACH;
    bool connected = false;
    bool fresh = true;  // m_socket has not been used for a connect yet
    for (addrinfo* ai = list; ai && !connected; ai = ai->ai_next) {
        if (ai->ai_family != family) continue;
        if (!fresh || family != AF_INET) {
            // A failed connect leaves a socket unusable, and an IPv6 address
            // needs a socket of its own: start afresh with the same option.
            SOCKET s = CreateStreamSocket(family);
            if (s == INVALID_SOCKET) {
                lastError = ::WSAGetLastError();
                continue;
            }
            ::closesocket(m_socket);
            m_socket = s;
        }
        fresh = false;
        const int error =
            ConnectWithin(m_socket, ai->ai_addr, static_cast<int>(ai->ai_addrlen), ConnectTimeoutMs());
        if (error == 0)
            connected = true;
        else
            lastError = error;
    }
    ::freeaddrinfo(list);
    m_bConnected = connected;
    if (!connected) {
        ReportSocketError(static_cast<uint32_t>(lastError), "CSocket::Connect()");
        return;
    }
    DebugOutput("***** CSocket::Connect() in CNetworkDeviceComm() ctor succeeded.\r\n");

    sockaddr_storage local{};
    int len = sizeof local;
    m_bConnected = ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &len) == 0;
    if (!m_bConnected) {
        ReportSocketError(::WSAGetLastError(), "CSocket::GetSockName()");
        return;
    }
    DebugOutput("***** CSocket::GetSockName() in CNetworkDeviceComm() ctor succeeded.\r\n");

    if (local.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&local);
        m_nLocalPort = ntohs(in->sin_port);
        const auto* b = reinterpret_cast<const uint8_t*>(&in->sin_addr.s_addr);
        if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0)
            SetLocalAddress("localhost");
        else
            SetLocalAddress(Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]));
    } else {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&local);
        m_nLocalPort = ntohs(in6->sin6_port);
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        SetLocalAddress(text);
    }
    m_bConnectDone = true;
    StartCapture();
    // From here on every receive and send is a single attempt.
    u_long nonBlocking = 1;
    ::ioctlsocket(m_socket, FIONBIO, &nonBlocking);
    DebugOutput(Format("***** CNetworkDeviceComm() ctor Local IP Addr and Port Num: %s:%u.\r\n",
                       m_szLocalAddress.c_str(), m_nLocalPort));
}

CNetworkDeviceComm::~CNetworkDeviceComm() {
    EndCapture();
    if (m_socket == INVALID_SOCKET) {
        m_bConnected = 0;
        ReportSocketError(WSAENOTSOCK, "CSocket::ShutDown()");
    } else if (::shutdown(m_socket, SD_BOTH) == 0) {
        DebugOutput("***** CSocket::ShutDown() in ~CNetworkDeviceComm() dtor succeeded.\r\n");
    } else {
        m_bConnected = 0;
        ReportSocketError(::WSAGetLastError(), "CSocket::ShutDown()");
    }
    if (m_socket != INVALID_SOCKET) ::closesocket(m_socket);
    m_socket = kNoSocket;
    m_bConnected = 0;
}

// --- The socket calls of link/SocketIo.h -------------------------------------

namespace socket_io {

int64_t Receive(LinkSocket socket, uint8_t* buffer, size_t size, int* error) {
    if (socket == INVALID_SOCKET) {
        *error = kNotSocket;
        return -1;
    }
    const int chunk = static_cast<int>(std::min<size_t>(size, 1u << 30));
    const int r = ::recv(socket, reinterpret_cast<char*>(buffer), chunk, 0);
    if (r < 0) *error = ::WSAGetLastError();
    return r;
}

int64_t Send(LinkSocket socket, const uint8_t* data, size_t size, int* error) {
    if (socket == INVALID_SOCKET) {
        *error = kNotSocket;
        return -1;
    }
    const int chunk = static_cast<int>(std::min<size_t>(size, 1u << 30));
    const int w = ::send(socket, reinterpret_cast<const char*>(data), chunk, 0);
    if (w < 0) *error = ::WSAGetLastError();
    return w;
}

bool WaitReadable(LinkSocket socket, int ms) {
    WSAPOLLFD p{socket, POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, ms) > 0;
}

void WaitWritable(LinkSocket socket, int ms) {
    WSAPOLLFD p{socket, POLLWRNORM, 0};
    ::WSAPoll(&p, 1, ms);
}

namespace {
bool ToEndpoint(const sockaddr_storage& a, CCaptureEndpoint* e) {
    if (a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        *e = CCaptureEndpoint{};
        std::memcpy(e->address, &in->sin_addr, 4);
        e->port = ntohs(in->sin_port);
        return true;
    }
    if (a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        *e = CCaptureEndpoint{};
        e->v6 = true;
        std::memcpy(e->address, &in6->sin6_addr, 16);
        e->port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}
}  // namespace

bool Endpoints(LinkSocket socket, CCaptureEndpoint* local, CCaptureEndpoint* remote) {
    sockaddr_storage l{}, r{};
    int ll = sizeof l, rl = sizeof r;
    return ::getsockname(socket, reinterpret_cast<sockaddr*>(&l), &ll) == 0 &&
           ::getpeername(socket, reinterpret_cast<sockaddr*>(&r), &rl) == 0 && ToEndpoint(l, local) &&
           ToEndpoint(r, remote);
}

LinkSocket Listen(const std::string& ipv4, uint16_t port, uint16_t* boundPort, std::string* error) {
    if (!CNetworkDeviceComm::StartSocketLayer()) {
        *error = "Windows Sockets could not be started";
        return kNoSocket;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, ipv4.c_str(), &addr.sin_addr) != 1) {
        *error = "not an IPv4 address: " + ipv4;
        return kNoSocket;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // SO_REUSEADDR would let another program take the port over here.
    BOOL one = TRUE;
    int len = sizeof addr;
    if (s == INVALID_SOCKET ||
        ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one) != 0 ||
        ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = "cannot listen on " + ipv4 + ":" + std::to_string(port) + ": Windows Sockets error " +
                 std::to_string(::WSAGetLastError());
        if (s != INVALID_SOCKET) ::closesocket(s);
        return kNoSocket;
    }
    *boundPort = ntohs(addr.sin_port);
    return s;
}

LinkSocket Accept(LinkSocket listener, int ms) {
    if (!WaitReadable(listener, ms)) return kNoSocket;
    const SOCKET s = ::accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) return kNoSocket;
    // Single attempts from here on, like the link's own socket.
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    return s;
}

int WaitEitherReadable(LinkSocket a, LinkSocket b, int ms) {
    WSAPOLLFD p[2] = {{a, POLLRDNORM, 0}, {b, POLLRDNORM, 0}};
    if (::WSAPoll(p, 2, ms) <= 0) return 0;
    const short any = POLLRDNORM | POLLHUP | POLLERR;
    return ((p[0].revents & any) ? 1 : 0) | ((p[1].revents & any) ? 2 : 0);
}

void CloseSocket(LinkSocket socket) {
    if (socket != INVALID_SOCKET) ::closesocket(socket);
}

}  // namespace socket_io
