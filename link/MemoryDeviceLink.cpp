#include "link/MemoryDeviceLink.h"

CMemoryDeviceLink::CMemoryDeviceLink(CClock& clock) : m_clock(clock) {}

uint32_t CMemoryDeviceLink::WriteBuffer(const uint8_t* data, uint32_t length) {
    if (!m_nWriteResult) return 0;
    std::vector<uint8_t> frame(data, data + length);
    m_writes.push_back(frame);
    if (m_onWrite) m_onWrite(frame);
    return m_nWriteResult;
}

uint32_t CMemoryDeviceLink::WriteByte(uint32_t value) {
    uint8_t b = static_cast<uint8_t>(value);
    return WriteBuffer(&b, 1);
}

uint32_t CMemoryDeviceLink::WriteHeader(const uint8_t* header) { return WriteBuffer(header, 6); }

uint32_t CMemoryDeviceLink::IsConnected() { return m_nLostAtMs < 0 || m_clock.NowMs() < m_nLostAtMs ? 1 : 0; }

uint32_t CMemoryDeviceLink::ReadByte(uint8_t* byte) {
    ++m_nReadAttempts;
    if (IsConnected() && !m_rx.empty() && m_rx.front().atMs <= m_clock.NowMs()) {
        *byte = m_rx.front().byte;
        m_rx.pop_front();
        return 1;
    }
    m_clock.SleepMs(1);
    return 0;
}

uint16_t CMemoryDeviceLink::FlushReceive() {
    uint32_t count = 0;
    const int64_t start = m_clock.NowMs();
    do {
        while (!m_rx.empty() && m_rx.front().atMs <= m_clock.NowMs()) {
            m_rx.pop_front();
            ++count;
        }
        m_clock.SleepMs(1);
    } while (m_clock.NowMs() - start < 100);
    return static_cast<uint16_t>(count);
}

void CMemoryDeviceLink::QueueReply(const std::vector<uint8_t>& bytes) { QueueReplyAt(m_clock.NowMs(), bytes); }

void CMemoryDeviceLink::QueueReplyAt(int64_t atMs, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) m_rx.push_back({atMs, b});
}
