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
// ReadByte is one non-blocking attempt. With nothing waiting it waits up to
// 1 ms for data with poll() and returns 0: the caller's loop keeps its
// one-attempt-per-millisecond rhythm while idle, but a reply that arrives is
// taken on the very next attempt instead of after a blind sleep. A receive
// error is traced at every attempt, as before, but each attempt also takes
// 1 ms so that a dead link cannot spin the caller's time-out loop.
//
// A write is sent without blocking and waits for room with poll(), at most
// m_nSendTimeoutMs for the whole write. A unit that stops reading fills the
// socket's buffers; the write then ends with one line of our own ("*****
// CSocket::Send() timed out ...") and returns 0, so the exchange fails at
// once. Part of the frame may have gone out, so the stream is out of step:
// the link counts as lost (m_bConnected 0) and later writes are refused at
// once, each with a line in the trace.
//
// An orderly close by the unit (recv() returning 0) is not an error code on
// this platform. ReadByte then returns 0 ("no byte"), clears m_bConnected,
// writes one trace line the first time, and paces further attempts at 1 ms,
// so the caller's exchange ends by its own time-out as with a silent unit.
#include "link/NetworkDeviceComm.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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
std::atomic<int32_t> g_defaultSendTimeoutMs{1000};
std::atomic<int32_t> g_connectTimeoutMs{0};

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

// Up to 1 ms for input to arrive. When the wait did not show on the link's
// clock (a test clock that only moves when slept on), the clock sleeps the
// millisecond instead, so time-outs measured on it still run out.
void WaitForInput(int socket, CClock& clock) {
    const int64_t before = clock.NowMs();
    int ready = 0;
    if (socket >= 0) {
        pollfd p{socket, POLLIN, 0};
        ready = ::poll(&p, 1, 1);
    }
    if (ready <= 0 && clock.NowMs() == before) clock.SleepMs(1);
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
        const int error = ConnectWithin(m_socket, ai->ai_addr, ai->ai_addrlen, g_connectTimeoutMs.load());
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

void CNetworkDeviceComm::SetDefaultSendTimeoutMs(int32_t ms) { g_defaultSendTimeoutMs.store(ms); }

void CNetworkDeviceComm::SetConnectTimeoutMs(int32_t ms) { g_connectTimeoutMs.store(ms); }

int32_t CNetworkDeviceComm::DefaultSendTimeoutMs() { return g_defaultSendTimeoutMs.load(); }

uint32_t CNetworkDeviceComm::SendAll(const uint8_t* data, size_t length) {
    if (m_bSendTimedOut) {
        DebugOutput("***** CSocket::Send() refused: an earlier send timed out and the link is lost.\r\n");
        return 0;
    }
    // Apart from the time-out the outcome is not examined: a failed send
    // shows as a missing reply. The wait is measured on the steady clock,
    // not on m_clock, because poll() waits in real time.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, m_nSendTimeoutMs));
    size_t done = 0;
    while (m_socket >= 0 && done < length) {
        ssize_t w = ::send(m_socket, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            m_bSendTimedOut = true;
            m_bConnected = 0;
            DebugOutput(Format("***** CSocket::Send() timed out after %d ms with %zu of %zu bytes sent; "
                               "the link is lost.\r\n",
                               m_nSendTimeoutMs, done, length));
            return 0;
        }
        pollfd p{m_socket, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    }
    return 1;
}

uint32_t CNetworkDeviceComm::WriteByte(uint32_t value) {
    uint8_t b = static_cast<uint8_t>(value);
    return SendAll(&b, 1);
}

uint32_t CNetworkDeviceComm::WriteBuffer(const uint8_t* data, uint32_t length) { return SendAll(data, length); }

uint32_t CNetworkDeviceComm::WriteHeader(const uint8_t* header) { return SendAll(header, 6); }

uint32_t CNetworkDeviceComm::ReadByte(uint8_t* byte) {
    ssize_t r = m_socket >= 0 ? ::recv(m_socket, m_RxBuffer, 1, MSG_DONTWAIT) : -1;
    int err = m_socket >= 0 ? errno : EBADF;
    if (r == 1) {
        *byte = m_RxBuffer[0];
        ++m_nRxCount;
        return 1;
    }
    if (r == 0 && m_nRxError) {
        // After a reset the system reports the error once and then only an
        // end of stream; the link stays broken, so keep saying why.
        ReportSocketError(m_nRxError, "CAsyncSocket::Receive()");
        m_clock.SleepMs(1);
        return 0;
    }
    if (r == 0) {
        m_bConnected = 0;
        if (!m_bPeerClosedReported) {
            m_bPeerClosedReported = true;
            DebugOutput("***** CAsyncSocket::Receive() connection closed by the device.\r\n");
        }
        m_clock.SleepMs(1);
        return 0;
    }
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
        WaitForInput(m_socket, m_clock);
        return 0;
    }
    m_bConnected = 0;
    m_nRxError = ErrnoToWsaError(err);
    ReportSocketError(m_nRxError, "CAsyncSocket::Receive()");
    m_clock.SleepMs(1);
    return 0;
}

uint16_t CNetworkDeviceComm::FlushReceive() {
    m_nRxCount = 0;
    const int64_t start = m_clock.NowMs();
    while (true) {
        ssize_t r = m_socket >= 0 ? ::recv(m_socket, m_RxBuffer, sizeof m_RxBuffer, MSG_DONTWAIT) : -1;
        int err = m_socket >= 0 ? errno : EBADF;
        if (r > 0) {
            m_nRxCount += static_cast<uint32_t>(r);
        } else if (r < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
            WaitForInput(m_socket, m_clock);
        } else if (r == 0) {
            m_clock.SleepMs(1);  // closed: nothing more will come
        } else {
            break;
        }
        if (m_clock.NowMs() - start >= 100) break;
    }
    return static_cast<uint16_t>(m_nRxCount);
}

uint32_t CNetworkDeviceComm::OnReceive() {
    if (m_socket < 0) return 0;
    uint32_t dropped = 0;
    for (;;) {
        const ssize_t r = ::recv(m_socket, m_RxBuffer, sizeof m_RxBuffer, MSG_DONTWAIT);
        if (r == 0) m_bConnected = 0;  // the unit closed the connection
        if (r <= 0) break;
        dropped += static_cast<uint32_t>(r);
    }
    m_nRxCount = dropped;
    return dropped;
}
