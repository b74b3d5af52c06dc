// TCP link on Windows Sockets.
//
// The same link as on POSIX, step for step and trace for trace: create,
// linger off, connect (host names resolved here; IPv4 first, IPv6 only for
// a host without any IPv4 address), local name. The error codes in the
// traces are the system's own (WSAGetLastError, and getaddrinfo's result,
// which is a Windows Sockets code here). Windows Sockets is started on the
// first link, so no front end has to remember it.
//
// The socket blocks while it connects and is non-blocking from then on:
// ReadByte is one attempt that waits up to 1 ms for data with WSAPoll(), so
// a reply is taken on the very next attempt; a write waits for room with
// WSAPoll() at most m_nSendTimeoutMs for the whole write, after which the
// link counts as lost and sends nothing more. An orderly close by the unit
// is traced once and makes ReadByte return 0 at a 1 ms pace; a reset is
// traced at every attempt, as Windows Sockets keeps reporting it.
#include "link/NetworkDeviceComm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"
#include <ws2tcpip.h>

namespace {
std::atomic<int32_t> g_defaultSendTimeoutMs{1000};
std::atomic<int32_t> g_connectTimeoutMs{0};

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

// Up to 1 ms for input to arrive. When the wait did not show on the link's
// clock (a test clock that only moves when slept on), the clock sleeps the
// millisecond instead, so time-outs measured on it still run out.
void WaitForInput(SOCKET socket, CClock& clock) {
    const int64_t before = clock.NowMs();
    int ready = 0;
    if (socket != INVALID_SOCKET) {
        WSAPOLLFD p{socket, POLLRDNORM, 0};
        ready = ::WSAPoll(&p, 1, 1);
    }
    if (ready <= 0 && clock.NowMs() == before) clock.SleepMs(1);
}

bool IsRetry(int err) { return err == WSAEWOULDBLOCK || err == WSAEINTR; }
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
            ConnectWithin(m_socket, ai->ai_addr, static_cast<int>(ai->ai_addrlen), g_connectTimeoutMs.load());
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
    // From here on every receive and send is a single attempt.
    u_long nonBlocking = 1;
    ::ioctlsocket(m_socket, FIONBIO, &nonBlocking);
    DebugOutput(Format("***** CNetworkDeviceComm() ctor Local IP Addr and Port Num: %s:%u.\r\n",
                       m_szLocalAddress.c_str(), m_nLocalPort));
}

CNetworkDeviceComm::~CNetworkDeviceComm() {
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
    // not on m_clock, because WSAPoll() waits in real time.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, m_nSendTimeoutMs));
    size_t done = 0;
    while (m_socket != INVALID_SOCKET && done < length) {
        const int chunk = static_cast<int>(std::min<size_t>(length - done, 1u << 30));
        const int w = ::send(m_socket, reinterpret_cast<const char*>(data + done), chunk, 0);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        const int err = w < 0 ? ::WSAGetLastError() : 0;
        if (err == WSAEINTR) continue;
        if (err != WSAEWOULDBLOCK) break;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            m_bSendTimedOut = true;
            m_bConnected = 0;
            DebugOutput(Format("***** CSocket::Send() timed out after %d ms with %zu of %zu bytes sent; "
                               "the link is lost.\r\n",
                               m_nSendTimeoutMs, done, length));
            return 0;
        }
        WSAPOLLFD p{m_socket, POLLWRNORM, 0};
        ::WSAPoll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
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
    int r = m_socket != INVALID_SOCKET ? ::recv(m_socket, reinterpret_cast<char*>(m_RxBuffer), 1, 0)
                                       : SOCKET_ERROR;
    int err = m_socket != INVALID_SOCKET ? ::WSAGetLastError() : WSAENOTSOCK;
    if (r == 1) {
        *byte = m_RxBuffer[0];
        ++m_nRxCount;
        return 1;
    }
    // A socket that never connected has no device to close it; some
    // implementations (Wine) answer its receive with an end of stream.
    if (r == 0 && !m_bConnectDone) r = SOCKET_ERROR, err = WSAENOTCONN;
    if (r == 0 && m_nRxError) {
        // A broken link stays broken: keep saying why.
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
    if (IsRetry(err)) {
        WaitForInput(m_socket, m_clock);
        return 0;
    }
    m_bConnected = 0;
    m_nRxError = static_cast<uint32_t>(err);
    ReportSocketError(m_nRxError, "CAsyncSocket::Receive()");
    m_clock.SleepMs(1);
    return 0;
}

uint16_t CNetworkDeviceComm::FlushReceive() {
    m_nRxCount = 0;
    const int64_t start = m_clock.NowMs();
    while (true) {
        const int r = m_socket != INVALID_SOCKET
                          ? ::recv(m_socket, reinterpret_cast<char*>(m_RxBuffer), sizeof m_RxBuffer, 0)
                          : SOCKET_ERROR;
        const int err = m_socket != INVALID_SOCKET ? ::WSAGetLastError() : WSAENOTSOCK;
        if (r > 0) {
            m_nRxCount += static_cast<uint32_t>(r);
        } else if (r < 0 && IsRetry(err)) {
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
    if (m_socket == INVALID_SOCKET) return 0;
    uint32_t dropped = 0;
    for (;;) {
        const int r = ::recv(m_socket, reinterpret_cast<char*>(m_RxBuffer), sizeof m_RxBuffer, 0);
        if (r == 0) m_bConnected = 0;  // the unit closed the connection
        if (r <= 0) break;
        dropped += static_cast<uint32_t>(r);
    }
    m_nRxCount = dropped;
    return dropped;
}
