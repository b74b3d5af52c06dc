// The TCP link, the same on every system above the system's socket calls
// (link/SocketIo.h; link/posix, link/win32).
//
// The constructor makes the connection in the order the traces show:
// create, linger off, connect (host names resolved here), local name. Any
// failing step is traced with its Windows Sockets code, kept as the last
// failure, and leaves the link unconnected; nothing throws and nothing
// reconnects. The socket is IPv4; only a host that has no IPv4 address at
// all is reached over IPv6.
//
// A host text of 260 UTF-16 units or more is refused before any traffic: a
// cut name could reach a different machine. The refusal is one line of our
// own ("***** Host address of N characters refused; ...") followed by the
// usual "CSocket::Connect()" block with WSAEFAULT (10014), so a reader of
// the trace sees the step that did not happen and why.
//
// ReadByte is one attempt that does not block. With nothing waiting it
// waits up to 1 ms for data and returns 0: the caller's loop keeps its
// one-attempt-per-millisecond rhythm while idle, but a reply that arrives is
// taken on the very next attempt instead of after a blind sleep. A receive
// error is traced at every attempt, and each attempt also takes 1 ms, so a
// dead link cannot spin the caller's time-out loop.
//
// A write is sent without blocking and waits for room at most
// m_nSendTimeoutMs for the whole write. A unit that stops reading fills the
// socket's buffers; the write then ends with one line of our own ("*****
// CSocket::Send() timed out ...") and returns 0, so the exchange fails at
// once. Part of the frame may have gone out, so the stream is out of step:
// the link counts as lost (m_bConnected 0) and later writes are refused at
// once, each with a line in the trace.
//
// An orderly close by the unit (an end of stream) is not an error code.
// ReadByte then returns 0 ("no byte"), clears m_bConnected, writes one trace
// line the first time, and paces further attempts at 1 ms, so the caller's
// exchange ends by its own time-out as with a silent unit.
#include "link/NetworkDeviceComm.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/DebugOutput.h"
#include "platform/Text.h"

using namespace socket_io;

namespace {
std::atomic<int32_t> g_defaultSendTimeoutMs{1000};
std::atomic<int32_t> g_connectTimeoutMs{0};

bool IsRetry(int error) { return error == kWouldBlock || error == kInterrupted; }

// Up to 1 ms for input to arrive. When the wait did not show on the link's
// clock (a test clock that only moves when slept on), the clock sleeps the
// millisecond instead, so time-outs measured on it still run out.
void WaitForInput(const CSocketCalls& io, LinkSocket socket, CClock& clock) {
    const int64_t before = clock.NowMs();
    const bool ready = socket != kNoSocket && io.wait(socket, false, 1);
    if (!ready && clock.NowMs() == before) clock.SleepMs(1);
}

// An IPv6 address as the system writes it: lower-case groups, the longest
// run of two or more zero groups as "::", and an IPv4-mapped address with
// its IPv4 part dotted.
std::string Ipv6Text(const uint8_t* a) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(kMapped, kMapped + 12, a)) return Format("::ffff:%u.%u.%u.%u", a[12], a[13], a[14], a[15]);
    int group[8], bestAt = -1, bestLength = 1;
    for (int i = 0; i < 8; ++i) group[i] = a[2 * i] << 8 | a[2 * i + 1];
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && group[j] == 0) ++j;
        if (j - i > bestLength) bestAt = i, bestLength = j - i;
        i = j == i ? i + 1 : j;
    }
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestAt) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        text += Format("%x", group[i]);
    }
    return text;
}

std::string FirstLine(std::string text) {
    const size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}
}  // namespace

const char* StepName(ELinkStep step) {
    switch (step) {
        case ELinkStep::Create: return "CSocket::Create()";
        case ELinkStep::SetSockOpt: return "CSocket::SetSockOpt()";
        case ELinkStep::Connect: return "CSocket::Connect()";
        case ELinkStep::GetSockName: return "CSocket::GetSockName()";
        case ELinkStep::Receive: return "CAsyncSocket::Receive()";
        case ELinkStep::ShutDown: return "CSocket::ShutDown()";
        case ELinkStep::None: break;
    }
    return "";
}

bool CNetworkDeviceComm::Fail(ELinkStep step, uint32_t code) {
    const std::string name = StepName(step);
    ReportSocketError(code, name);
    const char* text = SocketErrorText(code);
    m_failure = {step, code, *text ? FirstLine(text) : "Unknown value returned from " + name + "."};
    return false;
}

CNetworkDeviceComm::CNetworkDeviceComm(const std::string& host, uint16_t port, CClock& clock,
                                       const CSocketCalls& calls)
    : m_clock(clock), m_io(calls) {
    m_szRemoteAddress = FitAddressField(host);
    SetRemotePort(port);
    m_bConnected = Open(host);
    if (!m_bConnected) return;
    m_bConnectDone = true;
    StartCapture();
    m_io.afterConnect(m_socket);
    DebugOutput(Format("***** CNetworkDeviceComm() ctor Local IP Addr and Port Num: %s:%u.\r\n",
                       m_szLocalAddress.c_str(), m_nLocalPort));
}

bool CNetworkDeviceComm::Open(const std::string& host) {
    // A failed start shows as WSANOTINITIALISED from the create below.
    m_io.startLayer();
    m_socket = m_io.create(false);
    if (m_socket == kNoSocket) return Fail(ELinkStep::Create, m_io.lastError());
    DebugOutput("***** CSocket::Create() in CNetworkDeviceComm() ctor succeeded.\r\n");
    if (!m_io.lingerOff(m_socket)) return Fail(ELinkStep::SetSockOpt, m_io.lastError());
    DebugOutput("***** CSocket::SetSockOpt() in CNetworkDeviceComm() ctor succeeded.\r\n");
    if (!Connect(host)) return false;
    DebugOutput("***** CSocket::Connect() in CNetworkDeviceComm() ctor succeeded.\r\n");
    CCaptureEndpoint local;
    if (!m_io.localName(m_socket, &local)) return Fail(ELinkStep::GetSockName, m_io.lastError());
    DebugOutput("***** CSocket::GetSockName() in CNetworkDeviceComm() ctor succeeded.\r\n");
    m_nLocalPort = local.port;
    const uint8_t* b = local.address;
    if (local.v6)
        SetLocalAddress(Ipv6Text(b));
    else if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0)
        SetLocalAddress("localhost");
    else
        SetLocalAddress(Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]));
    return true;
}

// Resolves the host and connects to its first address that takes the
// connection (IPv4 addresses only, unless it has none).
bool CNetworkDeviceComm::Connect(const std::string& host) {
    const size_t length = Utf16Length(host);
    if (length > MAX_ADDRESS_CHARS) {
        const std::string refusal =
            Format("***** Host address of %zu characters refused; at most %zu are accepted.", length, MAX_ADDRESS_CHARS);
        DebugOutput(refusal + "\r\n");
        Fail(ELinkStep::Connect, kFault);
        m_failure.text = refusal;  // the reason, not the code standing for it
        return false;
    }
    std::vector<CSocketAddress> addresses;
    if (const int error = m_io.resolve(host, GetRemotePort(), &addresses))
        return Fail(ELinkStep::Connect, static_cast<uint32_t>(error));
    bool haveV4 = false;
    for (const CSocketAddress& a : addresses) haveV4 = haveV4 || !a.v6;
    int lastError = kHostUnreachable;
    bool fresh = true;  // m_socket has not been used for a connect yet
    for (const CSocketAddress& a : addresses) {
        if (a.v6 == haveV4) continue;
        if (!fresh || a.v6) {
            // A failed connect leaves a socket unusable, and an IPv6 address
            // needs a socket of its own: start afresh with the same option.
            const LinkSocket s = m_io.create(a.v6);
            if (s == kNoSocket || !m_io.lingerOff(s)) {
                lastError = m_io.lastError();  // before the close can change it
                if (s != kNoSocket) m_io.close(s);
                continue;
            }
            m_io.close(m_socket);
            m_socket = s;
        }
        fresh = false;
        lastError = m_io.connectWithin(m_socket, a, g_connectTimeoutMs.load());
        if (lastError == 0) return true;
    }
    return Fail(ELinkStep::Connect, static_cast<uint32_t>(lastError));
}

CNetworkDeviceComm::~CNetworkDeviceComm() {
    EndCapture();
    if (m_socket == kNoSocket) {
        m_bConnected = 0;
        Fail(ELinkStep::ShutDown, kNotSocket);
    } else if (m_io.shutDown(m_socket)) {
        DebugOutput("***** CSocket::ShutDown() in ~CNetworkDeviceComm() dtor succeeded.\r\n");
    } else {
        m_bConnected = 0;
        Fail(ELinkStep::ShutDown, m_io.lastError());
    }
    if (m_socket != kNoSocket) m_io.close(m_socket);
    m_socket = kNoSocket;
    m_bConnected = 0;
}

bool CNetworkDeviceComm::StartSocketLayer() { return SystemSockets().startLayer(); }

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
    // not on m_clock, because the system waits in real time.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, m_nSendTimeoutMs));
    FlushCapturedInput();  // what came before this write stays before it in the capture
    const int64_t sentUs = m_capture ? CCaptureSink::NowUs() : 0;
    size_t done = 0;
    // Only what went out is recorded, also when the write ends early.
    struct Recorder {
        CNetworkDeviceComm& link;
        const uint8_t* data;
        const size_t& done;
        int64_t timeUs;
        ~Recorder() {
            if (link.m_capture && done)
                link.m_capture->Record(link.m_captureStream, ECaptureDirection::ToUnit, data, done, timeUs);
        }
    } recorder{*this, data, done, sentUs};
    while (m_socket != kNoSocket && done < length) {
        int error = 0;
        const int64_t w = m_io.send(m_socket, data + done, length - done, &error);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && error == kInterrupted) continue;
        if (w == 0 || error != kWouldBlock) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            m_bSendTimedOut = true;
            m_bConnected = 0;
            DebugOutput(Format("***** CSocket::Send() timed out after %d ms with %zu of %zu bytes sent; "
                               "the link is lost.\r\n",
                               m_nSendTimeoutMs, done, length));
            return 0;
        }
        m_io.wait(m_socket, true, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
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
    int error = 0;
    int64_t r = m_io.receive(m_socket, m_RxBuffer, 1, &error);
    if (r == 1) {
        *byte = m_RxBuffer[0];
        CaptureInput(byte, 1);
        return 1;
    }
    FlushCapturedInput();
    // A socket that never connected has no device to close it; some
    // implementations (Wine) answer its receive with an end of stream.
    if (r == 0 && !m_bConnectDone) r = -1, error = kNotConnected;
    if (r == 0 && m_nRxError) {
        // After a reset the system may report the error once and then only
        // an end of stream; the link stays broken, so keep saying why.
        Fail(ELinkStep::Receive, m_nRxError);
        m_clock.SleepMs(1);
        return 0;
    }
    if (r == 0) {
        m_bConnected = 0;
        if (!m_bPeerClosedReported) {
            m_bPeerClosedReported = true;
            CapturePeerClosed();
            DebugOutput("***** CAsyncSocket::Receive() connection closed by the device.\r\n");
        }
        m_clock.SleepMs(1);
        return 0;
    }
    if (IsRetry(error)) {
        WaitForInput(m_io, m_socket, m_clock);
        return 0;
    }
    m_bConnected = 0;
    m_nRxError = static_cast<uint32_t>(error);
    Fail(ELinkStep::Receive, m_nRxError);
    m_clock.SleepMs(1);
    return 0;
}

uint16_t CNetworkDeviceComm::FlushReceive() {
    uint32_t count = 0;
    const int64_t start = m_clock.NowMs();
    while (true) {
        int error = 0;
        const int64_t r = m_io.receive(m_socket, m_RxBuffer, sizeof m_RxBuffer, &error);
        if (r > 0) {
            count += static_cast<uint32_t>(r);
            CaptureInput(m_RxBuffer, static_cast<size_t>(r));
            FlushCapturedInput();
        } else if (r < 0 && IsRetry(error)) {
            WaitForInput(m_io, m_socket, m_clock);
        } else if (r == 0) {
            CapturePeerClosed();
            m_clock.SleepMs(1);  // closed: nothing more will come
        } else {
            break;
        }
        if (m_clock.NowMs() - start >= 100) break;
    }
    return static_cast<uint16_t>(count);
}

uint32_t CNetworkDeviceComm::OnReceive() {
    if (m_socket == kNoSocket) return 0;
    uint32_t dropped = 0;
    for (;;) {
        const int64_t r = ReadAvailable(m_RxBuffer, sizeof m_RxBuffer);
        if (r <= 0) break;
        dropped += static_cast<uint32_t>(r);
    }
    return dropped;
}

int64_t CNetworkDeviceComm::ReadAvailable(uint8_t* buffer, size_t size) {
    FlushCapturedInput();
    int error = 0;
    const int64_t r = m_io.receive(m_socket, buffer, size, &error);
    if (r > 0) {
        CaptureInput(buffer, static_cast<size_t>(r));
        FlushCapturedInput();
        return r;
    }
    if (r < 0 && IsRetry(error)) return 0;
    if (r == 0) {
        m_bConnected = 0;  // the unit closed the connection
        CapturePeerClosed();
    }
    return -1;
}
