// TCP link on POSIX sockets.
//
// The constructor makes the connection in the order the traces show:
// create, linger off, connect (host names resolved here), local name. Any
// failing step is traced with its Windows Sockets code and leaves the link
// unconnected; nothing throws and nothing reconnects. The socket is IPv4;
// only a host that has no IPv4 address at all is reached over IPv6.
//
// A host text of 260 UTF-16 units or more is refused before any traffic: a
// cut name could reach a different machine. The refusal is one line of our
// own ("***** Host address of N characters refused; ...") followed by the
// usual "CSocket::Connect()" block with WSAEFAULT (10014), so a reader of
// the trace sees the step that did not happen and why.
//
// Sending and receiving are link/NetworkDeviceComm.cpp's; the socket calls
// they make are at the end of this file.
#include "link/NetworkDeviceComm.h"
#include "link/SocketIo.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/DebugOutput.h"
#include "platform/ErrorText.h"
#include "platform/Text.h"

namespace {
// connect() bounded by `timeoutMs` (0: the system's own, about two minutes
// for a unit that is powered off). Returns 0, or the errno of the failure;
// ETIMEDOUT when the time ran out.
int ConnectWithin(int socket, const sockaddr* address, socklen_t length, int32_t timeoutMs) {
    if (timeoutMs <= 0) {
        int r;
        do {
            r = ::connect(socket, address, length);
        } while (r != 0 && errno == EINTR);
        return r == 0 ? 0 : errno;
    }
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    int error = 0;
    if (::connect(socket, address, length) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            pollfd p{socket, POLLOUT, 0};
            const int ready = ::poll(&p, 1, timeoutMs);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t size = sizeof error;
                if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            }
        }
    }
    ::fcntl(socket, F_SETFL, flags);
    return error;
}

int CreateStreamSocket(int family) {
    int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    linger off{0, 0};
    if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0) {
        int err = errno;
        ::close(s);
        errno = err;
        return -1;
    }
    return s;
}

}  // namespace

CNetworkDeviceComm::CNetworkDeviceComm(const std::string& host, uint16_t port, CClock& clock)
    : m_clock(clock) {
    const bool tooLong = Utf16Length(host) > MAX_ADDRESS_CHARS;
    m_szRemoteAddress = FitAddressField(host);
    SetRemotePort(port);

    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_bConnected = m_socket >= 0;
    if (!m_bConnected) {
        ReportSocketError(ErrnoToWsaError(errno), "CSocket::Create()");
        return;
    }
    DebugOutput("***** CSocket::Create() in CNetworkDeviceComm() ctor succeeded.\r\n");

    linger off{0, 0};
    m_bConnected = ::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, &off, sizeof off) == 0;
    if (!m_bConnected) {
        ReportSocketError(ErrnoToWsaError(errno), "CSocket::SetSockOpt()");
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
    int gai = ::getaddrinfo(host.c_str(), std::to_string(GetRemotePort()).c_str(), &hints, &list);
    if (gai != 0 || !list) {
        m_bConnected = 0;
        ReportSocketError(gai == EAI_SYSTEM ? ErrnoToWsaError(errno) : ResolverErrorToWsa(gai),
                          "CSocket::Connect()");
        if (list) ::freeaddrinfo(list);
        return;
    }
    bool haveV4 = false;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) haveV4 = haveV4 || ai->ai_family == AF_INET;
    const int family = haveV4 ? AF_INET : AF_INET6;
    int lastError = EHOSTUNREACH;
    bool connected = false;
    bool fresh = true;  // m_socket has not been used for a connect yet
    for (addrinfo* ai = list; ai && !connected; ai = ai->ai_next) {
        if (ai->ai_family != family) continue;
        if (!fresh || family != AF_INET) {
            // A failed connect leaves a socket unusable, and an IPv6 address
            // needs a socket of its own: start afresh with the same option.
            int s = CreateStreamSocket(family);
            if (s < 0) {
                lastError = errno;
                continue;
            }
            ::close(m_socket);
            m_socket = s;
        }
        fresh = false;
        const int error = ConnectWithin(m_socket, ai->ai_addr, ai->ai_addrlen, ConnectTimeoutMs());
        if (error == 0)
            connected = true;
        else
            lastError = error;
    }
    ::freeaddrinfo(list);
    m_bConnected = connected;
    if (!connected) {
        ReportSocketError(ErrnoToWsaError(lastError), "CSocket::Connect()");
        return;
    }
    DebugOutput("***** CSocket::Connect() in CNetworkDeviceComm() ctor succeeded.\r\n");

    sockaddr_storage local{};
    socklen_t len = sizeof local;
    m_bConnected = ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &len) == 0;
    if (!m_bConnected) {
        ReportSocketError(ErrnoToWsaError(errno), "CSocket::GetSockName()");
        return;
    }
    DebugOutput("***** CSocket::GetSockName() in CNetworkDeviceComm() ctor succeeded.\r\n");
    m_bConnectDone = true;
    StartCapture();

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
    DebugOutput(Format("***** CNetworkDeviceComm() ctor Local IP Addr and Port Num: %s:%u.\r\n",
                       m_szLocalAddress.c_str(), m_nLocalPort));
}

CNetworkDeviceComm::~CNetworkDeviceComm() {
    EndCapture();
    if (m_socket < 0) {
        m_bConnected = 0;
        ReportSocketError(10038, "CSocket::ShutDown()");
    } else if (::shutdown(m_socket, SHUT_RDWR) == 0) {
        DebugOutput("***** CSocket::ShutDown() in ~CNetworkDeviceComm() dtor succeeded.\r\n");
    } else {
        m_bConnected = 0;
        ReportSocketError(ErrnoToWsaError(errno), "CSocket::ShutDown()");
    }
    if (m_socket >= 0) ::close(m_socket);
    m_socket = -1;
    m_bConnected = 0;
}

bool CNetworkDeviceComm::StartSocketLayer() { return true; }

// --- The socket calls of link/SocketIo.h -------------------------------------

namespace socket_io {

int64_t Receive(LinkSocket socket, uint8_t* buffer, size_t size, int* error) {
    if (socket < 0) {
        *error = kNotSocket;
        return -1;
    }
    const ssize_t r = ::recv(socket, buffer, size, MSG_DONTWAIT);
    if (r < 0) *error = ErrnoToWsaError(errno);
    return r;
}

int64_t Send(LinkSocket socket, const uint8_t* data, size_t size, int* error) {
    if (socket < 0) {
        *error = kNotSocket;
        return -1;
    }
    // MSG_NOSIGNAL: a unit that has gone must not end the program.
    const ssize_t w = ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0) *error = ErrnoToWsaError(errno);
    return w;
}

bool WaitReadable(LinkSocket socket, int ms) {
    pollfd p{socket, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

void WaitWritable(LinkSocket socket, int ms) {
    pollfd p{socket, POLLOUT, 0};
    ::poll(&p, 1, ms);
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
    socklen_t ll = sizeof l, rl = sizeof r;
    return ::getsockname(socket, reinterpret_cast<sockaddr*>(&l), &ll) == 0 &&
           ::getpeername(socket, reinterpret_cast<sockaddr*>(&r), &rl) == 0 && ToEndpoint(l, local) &&
           ToEndpoint(r, remote);
}

LinkSocket Listen(const std::string& ipv4, uint16_t port, uint16_t* boundPort, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, ipv4.c_str(), &addr.sin_addr) != 1) {
        *error = "not an IPv4 address: " + ipv4;
        return kNoSocket;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    socklen_t len = sizeof addr;
    if (s < 0 || ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = "cannot listen on " + ipv4 + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (s >= 0) ::close(s);
        return kNoSocket;
    }
    *boundPort = ntohs(addr.sin_port);
    return s;
}

LinkSocket Accept(LinkSocket listener, int ms) {
    if (!WaitReadable(listener, ms)) return kNoSocket;
    const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return s < 0 ? kNoSocket : s;
}

int WaitEitherReadable(LinkSocket a, LinkSocket b, int ms) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(p, 2, ms) <= 0) return 0;
    const short any = POLLIN | POLLHUP | POLLERR;
    return ((p[0].revents & any) ? 1 : 0) | ((p[1].revents & any) ? 2 : 0);
}

void CloseSocket(LinkSocket socket) {
    if (socket >= 0) ::close(socket);
}

}  // namespace socket_io
