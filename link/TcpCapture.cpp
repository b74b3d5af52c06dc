#include "link/TcpCapture.h"

#include <algorithm>
#include <chrono>

#include "link/NetworkDeviceComm.h"
#include "platform/CommandLine.h"
#include "platform/DebugOutput.h"

int64_t CCaptureSink::NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {
void Put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    Put16(v, at, x >> 16);
    Put16(v, at + 2, x & 0xFFFF);
}
// The one's-complement sum of 16-bit words, folded.
uint32_t Sum(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}
// A locally administered address made from the IP address, so each host
// keeps one MAC address through the file.
void PutMac(std::vector<uint8_t>& v, size_t at, const CCaptureEndpoint& e) {
    const uint8_t* a = e.address + (e.v6 ? 12 : 0);
    const uint8_t mac[6] = {0x02, 0x00, a[0], a[1], a[2], a[3]};
    std::copy(mac, mac + 6, v.begin() + static_cast<long>(at));
}
}  // namespace

std::vector<uint8_t> TcpFrame(const CCaptureEndpoint& from, const CCaptureEndpoint& to, uint32_t seq, uint32_t ack,
                              uint8_t flags, uint16_t ipId, const uint8_t* data, size_t size) {
    const size_t ipBytes = from.v6 ? 40 : 20, ip = 14, tcp = ip + ipBytes;
    std::vector<uint8_t> f(tcp + 20 + size, 0);
    PutMac(f, 0, to);
    PutMac(f, 6, from);
    Put16(f, 12, from.v6 ? 0x86DD : 0x0800);
    const size_t addrBytes = from.v6 ? 16 : 4;
    if (from.v6) {
        f[ip] = 0x60;
        Put16(f, ip + 4, static_cast<uint32_t>(20 + size));
        f[ip + 6] = 6;   // TCP
        f[ip + 7] = 64;  // hop limit
        std::copy(from.address, from.address + 16, f.begin() + ip + 8);
        std::copy(to.address, to.address + 16, f.begin() + ip + 24);
    } else {
        f[ip] = 0x45;
        Put16(f, ip + 2, static_cast<uint32_t>(20 + 20 + size));
        Put16(f, ip + 4, ipId);
        Put16(f, ip + 6, 0x4000);  // don't fragment
        f[ip + 8] = 64;
        f[ip + 9] = 6;
        std::copy(from.address, from.address + 4, f.begin() + ip + 12);
        std::copy(to.address, to.address + 4, f.begin() + ip + 16);
        Put16(f, ip + 10, ~Sum(&f[ip], 20) & 0xFFFF);
    }
    Put16(f, tcp, from.port);
    Put16(f, tcp + 2, to.port);
    Put32(f, tcp + 4, seq);
    Put32(f, tcp + 8, (flags & kTcpAck) ? ack : 0);
    f[tcp + 12] = 5 << 4;
    f[tcp + 13] = flags;
    Put16(f, tcp + 14, 65535);
    if (size) std::copy(data, data + size, f.begin() + static_cast<long>(tcp + 20));
    // The pseudo-header: both addresses, the protocol and the TCP length.
    uint32_t sum = Sum(from.address, addrBytes);
    sum = Sum(to.address, addrBytes, sum);
    sum += 6 + static_cast<uint32_t>(20 + size);
    Put16(f, tcp + 16, ~Sum(&f[tcp], 20 + size, sum) & 0xFFFF);
    return f;
}

CTcpCapture::CTcpCapture(std::unique_ptr<CPacketFile> file) : m_file(std::move(file)) {}

bool CTcpCapture::WriteFailed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

void CTcpCapture::Segment(Stream& s, ECaptureDirection from, uint8_t flags, const uint8_t* data, size_t size,
                          int64_t timeUs) {
    Side& me = from == ECaptureDirection::ToUnit ? s.local : s.unit;
    Side& peer = from == ECaptureDirection::ToUnit ? s.unit : s.local;
    const std::vector<uint8_t> frame = TcpFrame(me.end, peer.end, me.seq, peer.seq, flags, s.ipId++, data, size);
    me.seq += static_cast<uint32_t>(size) + ((flags & (kTcpSyn | kTcpFin)) ? 1 : 0);
    if (!m_file->Write(timeUs, frame.data(), frame.size())) m_failed = true;
}

int CTcpCapture::OpenStream(const CCaptureEndpoint& local, const CCaptureEndpoint& unit, int64_t timeUs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int id = m_next++;
    Stream& s = m_streams[id];
    s.local.end = local;
    s.unit.end = unit;
    // Initial sequence numbers differ per stream, as a real stack's do.
    s.local.seq = 0x1000 + static_cast<uint32_t>(id) * 0x01000193u;
    s.unit.seq = 0x8000 + static_cast<uint32_t>(id) * 0x00C0FFEEu;
    Segment(s, ECaptureDirection::ToUnit, kTcpSyn, nullptr, 0, timeUs);
    Segment(s, ECaptureDirection::FromUnit, kTcpSyn | kTcpAck, nullptr, 0, timeUs);
    Segment(s, ECaptureDirection::ToUnit, kTcpAck, nullptr, 0, timeUs);
    return id;
}

void CTcpCapture::Record(int stream, ECaptureDirection direction, const uint8_t* data, size_t size, int64_t timeUs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_streams.find(stream);
    if (it == m_streams.end()) return;
    for (size_t done = 0; done < size; done += kSegmentBytes) {
        const size_t n = std::min(kSegmentBytes, size - done);
        Segment(it->second, direction, kTcpPsh | kTcpAck, data + done, n, timeUs);
    }
}

void CTcpCapture::CloseStream(int stream, ECaptureDirection closer, int64_t timeUs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_streams.find(stream);
    if (it == m_streams.end()) return;
    Side& me = closer == ECaptureDirection::ToUnit ? it->second.local : it->second.unit;
    if (me.finSent) return;
    me.finSent = true;
    Segment(it->second, closer, kTcpFin | kTcpAck, nullptr, 0, timeUs);
}

std::unique_ptr<CTcpCapture> StartCaptureFromEnvironment() {
    const std::string path = EnvironmentUtf8("TR52K_CAPTURE_FILE");
    if (path.empty()) return nullptr;
    std::string why;
    std::unique_ptr<CPacketFile> file = CreatePacketFile(path, &why);
    if (!file) {
        DebugOutput("***** The capture file " + path + " cannot be written: " + why + "\r\n");
        return nullptr;
    }
    auto capture = std::make_unique<CTcpCapture>(std::move(file));
    CNetworkDeviceComm::SetCaptureSink(capture.get());
    return capture;
}
