// The TCP link to the unit. Connects in the constructor (blocking; a time-out
// only when a front end sets one) and never throws: failures are traced and leave m_bConnected 0.
// A send is whole or ends at its time-out (m_nSendTimeoutMs); receives are
// single attempts that wait at most 1 ms for a byte, so the protocol keeps
// its own time-outs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/CaptureSink.h"
#include "link/SocketDebugInfo.h"
#include "link/SocketIo.h"
#include "platform/Clock.h"

// The step of the link that failed, named in its traces by StepName().
enum class ELinkStep { None, Create, SetSockOpt, Connect, GetSockName, Receive, ShutDown };
const char* StepName(ELinkStep step);  // "CSocket::Connect()", ...

// Why the link failed last: the step, the system's code (Windows Sockets
// numbering) and the first line of what the trace says about it, without
// its line end ("WSAECONNREFUSED: The attempt to connect was rejected.").
struct CLinkFailure {
    ELinkStep step = ELinkStep::None;
    uint32_t code = 0;
    std::string text;
};

class CNetworkDeviceComm : public CSocketDebugInfo {
public:
    CNetworkDeviceComm(const std::string& host, uint16_t port, CClock& clock = SystemClock(),
                       const socket_io::CSocketCalls& calls = socket_io::SystemSockets());
    ~CNetworkDeviceComm() override;
    CNetworkDeviceComm(const CNetworkDeviceComm&) = delete;
    CNetworkDeviceComm& operator=(const CNetworkDeviceComm&) = delete;

    uint32_t GetLinkType() override { return LINK_TYPE_NETWORK; }
    uint16_t FlushReceive() override;
    uint32_t WriteByte(uint32_t value) override;
    uint32_t WriteBuffer(const uint8_t* data, uint32_t length) override;
    uint32_t WriteHeader(const uint8_t* header) override;
    uint32_t ReadByte(uint8_t* byte) override;

    // Data the unit sends while no exchange runs is read and dropped here
    // (the socket's data-arrival notification). Front ends with an
    // event loop call it when the socket becomes readable while idle.
    // Returns how many bytes were dropped; a connection the unit closed
    // leaves IsConnected() false.
    uint32_t OnReceive();
    LinkSocket SocketHandle() const { return m_socket; }
    intptr_t InputWatchHandle() override { return static_cast<intptr_t>(m_socket); }
    // Takes what has arrived, up to `size` bytes, without waiting (a relay
    // passes it on): the count, 0 when nothing is waiting, -1 once the
    // connection has ended.
    int64_t ReadAvailable(uint8_t* buffer, size_t size);

    // Every link made after this is set reports its connection and every
    // byte it sends and receives there (null: none do). Set it before the
    // links exist and keep it until they are gone.
    static void SetCaptureSink(CCaptureSink* sink);

    // Starts the system's socket layer once per process (WSAStartup on
    // Windows; nothing to do on POSIX). Links start it themselves; a front
    // end calls it before resolving names on its own. False when it failed.
    static bool StartSocketLayer();

    // How long one write may wait for the unit to take its bytes. A unit
    // that stops reading would otherwise hold the sender for ever. When it
    // runs out, the write returns 0 and the link counts as lost: part of a
    // frame may be on the wire, so nothing more is sent over it.
    int32_t m_nSendTimeoutMs = DefaultSendTimeoutMs();

    // The time-out links take when they are made (1000 ms, the exchange
    // time-out, unless set); a front end sets it once, before its links exist.
    static void SetDefaultSendTimeoutMs(int32_t ms);
    // How long the constructor's connect may take, for the links made after
    // this is set; 0 (the default): as long as the system takes. An
    // unattended front end sets a few seconds, so a unit that is powered
    // off costs seconds, not minutes.
    static void SetConnectTimeoutMs(int32_t ms);
    static int32_t DefaultSendTimeoutMs();

    // The last failure the link traced; step None while there was none.
    const CLinkFailure& LastFailure() const { return m_failure; }

private:
    bool Open(const std::string& host);     // the constructor's steps, each traced
    bool Connect(const std::string& host);  // resolve and connect
    // Traces the failure of `step` and keeps it as the last failure; false.
    bool Fail(ELinkStep step, uint32_t code);
    uint32_t SendAll(const uint8_t* data, size_t length);
    // The capture's side of the link; all do nothing without a sink.
    void StartCapture();  // once connected
    void CaptureInput(const uint8_t* data, size_t size);
    void FlushCapturedInput();
    void CapturePeerClosed();
    void EndCapture();  // before the connection is shut down

    CClock& m_clock;
    const socket_io::CSocketCalls& m_io;
    CLinkFailure m_failure;
    LinkSocket m_socket = kNoSocket;
    uint8_t m_RxBuffer[2054] = {};
    bool m_bPeerClosedReported = false;
    uint32_t m_nRxError = 0;  // last hard receive error, repeated while it lasts
    bool m_bSendTimedOut = false;
    bool m_bConnectDone = false;  // the constructor connected this socket
    CCaptureSink* m_capture = nullptr;
    int m_captureStream = -1;
    bool m_bPeerFinCaptured = false;
    // Bytes ReadByte took one at a time, recorded as one segment once no
    // more are waiting (a reply is one segment, not one per byte).
    std::vector<uint8_t> m_capturedInput;
    int64_t m_capturedInputUs = 0;
};
