// The TCP link's side of a capture: what it sends and receives reported to
// the sink, if one is set, with input taken one byte at a time recorded as
// the one segment it arrived in.
#include "link/NetworkDeviceComm.h"

#include <atomic>

namespace {
std::atomic<CCaptureSink*> g_captureSink{nullptr};
}  // namespace

void CNetworkDeviceComm::SetCaptureSink(CCaptureSink* sink) { g_captureSink.store(sink); }

void CNetworkDeviceComm::StartCapture() {
    CCaptureSink* sink = g_captureSink.load();
    CCaptureEndpoint local, unit;
    if (!sink || !m_io.localName(m_socket, &local) || !m_io.peerName(m_socket, &unit)) return;
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
        r = m_io.receive(m_socket, m_RxBuffer, sizeof m_RxBuffer, &error);
        if (r > 0) CaptureInput(m_RxBuffer, static_cast<size_t>(r));
    }
    FlushCapturedInput();
    m_capture->CloseStream(m_captureStream, ECaptureDirection::ToUnit, CCaptureSink::NowUs());
    m_capture = nullptr;
}
