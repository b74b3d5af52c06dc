// The TCP link's socket calls on Windows Sockets (link/SocketIo.h). The
// codes are the system's own (WSAGetLastError, and getaddrinfo's result,
// which is a Windows Sockets code here). Windows Sockets is started on the
// first link, so no front end has to remember it. A socket blocks while it
// connects and is non-blocking from then on; the waits are WSAPoll()'s.
#include "link/SocketIo.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/Win32Types.h"
#include <ws2tcpip.h>

#include "link/SocketAddressParts.h"

namespace socket_io {
namespace {
bool StartLayer() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

LinkSocket Create(bool v6) { return ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP); }

bool LingerOff(LinkSocket s) {
    linger off{0, 0};
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off) == 0;
}

int Resolve(const std::string& host, uint16_t port, std::vector<CSocketAddress>* addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (gai != 0 || !list) {
        if (list) ::freeaddrinfo(list);
        return gai != 0 ? gai : WSAHOST_NOT_FOUND;
    }
    AddressesOf(list, addresses);
    ::freeaddrinfo(list);
    return 0;
}

// connect() bounded by `timeoutMs` (0: the system's own, about 21 s for a
// unit that is powered off). select() rather than WSAPoll(), which older
// Windows does not wake for a failed connect.
int ConnectWithin(LinkSocket socket, const CSocketAddress& a, int32_t timeoutMs) {
    const auto* address = reinterpret_cast<const sockaddr*>(a.bytes);
    const int length = static_cast<int>(a.length);
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

// From here on every receive and send is a single attempt.
void AfterConnect(LinkSocket s) {
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
}

bool LocalName(LinkSocket s, CCaptureEndpoint* local) {
    sockaddr_storage a{};
    int length = sizeof a;
    return ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0 && ToEndpoint(a, local);
}

bool ShutDown(LinkSocket s) { return ::shutdown(s, SD_BOTH) == 0; }

void Close(LinkSocket s) {
    if (s != INVALID_SOCKET) ::closesocket(s);
}

int LastError() { return ::WSAGetLastError(); }

int64_t TryReceive(LinkSocket socket, uint8_t* buffer, size_t size, int* error) {
    if (socket == INVALID_SOCKET) {
        *error = kNotSocket;
        return -1;
    }
    const int chunk = static_cast<int>(std::min<size_t>(size, 1u << 30));
    const int r = ::recv(socket, reinterpret_cast<char*>(buffer), chunk, 0);
    if (r < 0) *error = ::WSAGetLastError();
    return r;
}

int64_t TrySend(LinkSocket socket, const uint8_t* data, size_t size, int* error) {
    if (socket == INVALID_SOCKET) {
        *error = kNotSocket;
        return -1;
    }
    const int chunk = static_cast<int>(std::min<size_t>(size, 1u << 30));
    const int w = ::send(socket, reinterpret_cast<const char*>(data), chunk, 0);
    if (w < 0) *error = ::WSAGetLastError();
    return w;
}

bool Wait(LinkSocket socket, bool writable, int ms) {
    WSAPOLLFD p{socket, static_cast<short>(writable ? POLLWRNORM : POLLRDNORM), 0};
    return ::WSAPoll(&p, 1, ms) > 0;
}

bool PeerName(LinkSocket s, CCaptureEndpoint* remote) {
    sockaddr_storage a{};
    int length = sizeof a;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &length) == 0 && ToEndpoint(a, remote);
}
}  // namespace

const CSocketCalls& SystemSockets() {
    static const CSocketCalls calls = {StartLayer, Create, LingerOff,  Resolve, ConnectWithin, AfterConnect, LocalName,
                                       ShutDown,   Close,  LastError,  TryReceive, TrySend, Wait, PeerName};
    return calls;
}

LinkSocket Listen(const std::string& ipv4, uint16_t port, uint16_t* boundPort, std::string* error) {
    if (!StartLayer()) {
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
    if (!Wait(listener, false, ms)) return kNoSocket;
    const SOCKET s = ::accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) return kNoSocket;
    AfterConnect(s);  // single attempts from here on, like the link's own socket
    return s;
}

int WaitEitherReadable(LinkSocket a, LinkSocket b, int ms) {
    WSAPOLLFD p[2] = {{a, POLLRDNORM, 0}, {b, POLLRDNORM, 0}};
    if (::WSAPoll(p, 2, ms) <= 0) return 0;
    const short any = POLLRDNORM | POLLHUP | POLLERR;
    return ((p[0].revents & any) ? 1 : 0) | ((p[1].revents & any) ? 2 : 0);
}

}  // namespace socket_io
