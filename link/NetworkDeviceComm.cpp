// The TCP link's sending and receiving, the same on every system; the
// connection itself and the socket calls are each system's (link/posix,
// link/win32, link/SocketIo.h).
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

#include "link/SocketIo.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"

using namespace socket_io;

namespace {
std::atomic<int32_t> g_defaultSendTimeoutMs{1000};
std::atomic<int32_t> g_connectTimeoutMs{0};
std::atomic<CCaptureSink*> g_captureSink{nullptr};

bool IsRetry(int error) { return error == kWouldBlock || error == kInterrupted; }

// Up to 1 ms for input to arrive. When the wait did not show on the link's
// clock (a test clock that only moves when slept on), the clock sleeps the
// millisecond instead, so time-outs measured on it still run out.
void WaitForInput(LinkSocket socket, CClock& clock) {
    const int64_t before = clock.NowMs();
    const bool ready = socket != kNoSocket && WaitReadable(socket, 1);
    if (!ready && clock.NowMs() == before) clock.SleepMs(1);
}
}  // namespace

void CNetworkDeviceComm::SetDefaultSendTimeoutMs(int32_t ms) { g_defaultSendTimeoutMs.store(ms); }

void CNetworkDeviceComm::SetConnectTimeoutMs(int32_t ms) { g_connectTimeoutMs.store(ms); }

int32_t CNetworkDeviceComm::ConnectTimeoutMs() { return g_connectTimeoutMs.load(); }

int32_t CNetworkDeviceComm::DefaultSendTimeoutMs() { return g_defaultSendTimeoutMs.load(); }

void CNetworkDeviceComm::SetCaptureSink(CCaptureSink* sink) { g_captureSink.store(sink); }

void CNetworkDeviceComm::StartCapture() {
    CCaptureSink* sink = g_captureSink.load();
    CCaptureEndpoint local, unit;
    if (!sink || !Endpoints(m_socket, &local, &unit)) return;
    m_capture = sink;
    m_captureStream = sink->OpenStream(local, unit, CCaptureSink::NowUs());
}

void CNetworkDeviceComm::CaptureInput(const uint8_t* data, size_t size) {
    if (!m_capture || size == 0) return;
    if (m_capturedInput.empty()) m_capturedInputUs = CCaptureSink::NowUs();
    m_capturedInput.insert(m_capturedInput.end(), data, data + size);
}

void CNetworkDeviceComm::FlushCapturedInput() {
    if (!m_capture || m_capturedInput.empty()) return;
    m_capture->Record(m_captureStream, ECaptureDirection::FromUnit, m_capturedInput.data(), m_capturedInput.size(),
                      m_capturedInputUs);
    m_capturedInput.clear();
}

void CNetworkDeviceComm::CapturePeerClosed() {
    FlushCapturedInput();
    if (m_capture && !m_bPeerFinCaptured) m_capture->CloseStream(m_captureStream, ECaptureDirection::FromUnit, CCaptureSink::NowUs());
    m_bPeerFinCaptured = true;
}

void CNetworkDeviceComm::EndCapture() {
    if (!m_capture) return;
    // What the unit sent that nobody read is still part of the session
    // (stray bytes after the last reply): taken now, as the link closes.
    for (int64_t r = 1; r > 0;) {
        int error = 0;
        r = Receive(m_socket, m_RxBuffer, sizeof m_RxBuffer, &error);
        if (r > 0) CaptureInput(m_RxBuffer, static_cast<size_t>(r));
    }
    FlushCapturedInput();
    m_capture->CloseStream(m_captureStream, ECaptureDirection::ToUnit, CCaptureSink::NowUs());
    m_capture = nullptr;
}

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
        const int64_t w = Send(m_socket, data + done, length - done, &error);
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
        WaitWritable(m_socket, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
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
    int64_t r = Receive(m_socket, m_RxBuffer, 1, &error);
    if (r == 1) {
        *byte = m_RxBuffer[0];
        ++m_nRxCount;
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
        ReportSocketError(m_nRxError, "CAsyncSocket::Receive()");
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
        WaitForInput(m_socket, m_clock);
        return 0;
    }
    m_bConnected = 0;
    m_nRxError = static_cast<uint32_t>(error);
    ReportSocketError(m_nRxError, "CAsyncSocket::Receive()");
    m_clock.SleepMs(1);
    return 0;
}

uint16_t CNetworkDeviceComm::FlushReceive() {
    m_nRxCount = 0;
    const int64_t start = m_clock.NowMs();
    while (true) {
        int error = 0;
        const int64_t r = Receive(m_socket, m_RxBuffer, sizeof m_RxBuffer, &error);
        if (r > 0) {
            m_nRxCount += static_cast<uint32_t>(r);
            CaptureInput(m_RxBuffer, static_cast<size_t>(r));
            FlushCapturedInput();
        } else if (r < 0 && IsRetry(error)) {
            WaitForInput(m_socket, m_clock);
        } else if (r == 0) {
            CapturePeerClosed();
            m_clock.SleepMs(1);  // closed: nothing more will come
        } else {
            break;
        }
        if (m_clock.NowMs() - start >= 100) break;
    }
    return static_cast<uint16_t>(m_nRxCount);
}

uint32_t CNetworkDeviceComm::OnReceive() {
    if (m_socket == kNoSocket) return 0;
    uint32_t dropped = 0;
    for (;;) {
        const int64_t r = ReadAvailable(m_RxBuffer, sizeof m_RxBuffer);
        if (r <= 0) break;
        dropped += static_cast<uint32_t>(r);
    }
    m_nRxCount = dropped;
    return dropped;
}

int64_t CNetworkDeviceComm::ReadAvailable(uint8_t* buffer, size_t size) {
    FlushCapturedInput();
    int error = 0;
    const int64_t r = Receive(m_socket, buffer, size, &error);
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
