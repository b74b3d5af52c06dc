// The TCP link's socket calls on POSIX sockets (link/SocketIo.h), with
// errno turned into Windows Sockets codes as the link's traces show them.
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

#include "link/SocketAddressParts.h"
#include "platform/ErrorText.h"

namespace socket_io {
namespace {
thread_local int t_lastError = 0;

bool Failed() {
    t_lastError = errno;
    return false;
}

bool StartLayer() { return true; }

LinkSocket Create(bool v6) {
    const int s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) Failed();
    return s < 0 ? kNoSocket : s;
}

bool LingerOff(LinkSocket s) {
    linger off{0, 0};
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &off, sizeof off) == 0 || Failed();
}

int Resolve(const std::string& host, uint16_t port, std::vector<CSocketAddress>* addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (gai != 0 || !list) {
        const int error = errno;
        if (list) ::freeaddrinfo(list);
        return static_cast<int>(gai == EAI_SYSTEM ? ErrnoToWsaError(error) : ResolverErrorToWsa(gai));
    }
    AddressesOf(list, addresses);
    ::freeaddrinfo(list);
    return 0;
}

// connect() bounded by `timeoutMs` (0: the system's own, about two minutes
// for a unit that is powered off).
int ConnectWithin(LinkSocket socket, const CSocketAddress& a, int32_t timeoutMs) {
    const auto* address = reinterpret_cast<const sockaddr*>(a.bytes);
    if (timeoutMs <= 0) {
        int r;
        do {
            r = ::connect(socket, address, a.length);
        } while (r != 0 && errno == EINTR);
        return r == 0 ? 0 : static_cast<int>(ErrnoToWsaError(errno));
    }
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return static_cast<int>(ErrnoToWsaError(errno));
    int error = 0;
    if (::connect(socket, address, a.length) != 0) {
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
    return error == 0 ? 0 : static_cast<int>(ErrnoToWsaError(error));
}

// Receives and sends say MSG_DONTWAIT themselves.
void AfterConnect(LinkSocket) {}

bool LocalName(LinkSocket s, CCaptureEndpoint* local) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    return (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0 || Failed()) && ToEndpoint(a, local);
}

bool ShutDown(LinkSocket s) { return ::shutdown(s, SHUT_RDWR) == 0 || Failed(); }

void Close(LinkSocket s) {
    if (s >= 0) ::close(s);
}

int LastError() { return static_cast<int>(ErrnoToWsaError(t_lastError)); }

int64_t TryReceive(LinkSocket socket, uint8_t* buffer, size_t size, int* error) {
    if (socket < 0) {
        *error = kNotSocket;
        return -1;
    }
    const ssize_t r = ::recv(socket, buffer, size, MSG_DONTWAIT);
    if (r < 0) *error = static_cast<int>(ErrnoToWsaError(errno));
    return r;
}

int64_t TrySend(LinkSocket socket, const uint8_t* data, size_t size, int* error) {
    if (socket < 0) {
        *error = kNotSocket;
        return -1;
    }
    // MSG_NOSIGNAL: a unit that has gone must not end the program.
    const ssize_t w = ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0) *error = static_cast<int>(ErrnoToWsaError(errno));
    return w;
}

bool Wait(LinkSocket socket, bool writable, int ms) {
    pollfd p{socket, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    return ::poll(&p, 1, ms) > 0;
}

bool PeerName(LinkSocket s, CCaptureEndpoint* remote) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &length) == 0 && ToEndpoint(a, remote);
}
}  // namespace

const CSocketCalls& SystemSockets() {
    static const CSocketCalls calls = {StartLayer, Create, LingerOff,  Resolve, ConnectWithin, AfterConnect, LocalName,
                                       ShutDown,   Close,  LastError,  TryReceive, TrySend, Wait, PeerName};
    return calls;
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
    if (!Wait(listener, false, ms)) return kNoSocket;
    const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return s < 0 ? kNoSocket : s;
}

int WaitEitherReadable(LinkSocket a, LinkSocket b, int ms) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(p, 2, ms) <= 0) return 0;
    const short any = POLLIN | POLLHUP | POLLERR;
    return ((p[0].revents & any) ? 1 : 0) | ((p[1].revents & any) ? 2 : 0);
}

}  // namespace socket_io
