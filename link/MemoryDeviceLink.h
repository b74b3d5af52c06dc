// In-memory link for tests: records every write and serves scripted reply
// bytes, each available from a given time on the link's clock. With no byte
// due it sleeps 1 ms on that clock, like the TCP link, so time-out tests run
// on a fake clock without waiting.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "link/BaseClass.h"
#include "platform/Clock.h"

class CMemoryDeviceLink : public CBaseClass {
public:
    explicit CMemoryDeviceLink(CClock& clock);

    uint32_t GetLinkType() override { return m_nLinkType; }
    uint16_t FlushReceive() override;
    uint32_t WriteByte(uint32_t value) override;
    uint32_t WriteBuffer(const uint8_t* data, uint32_t length) override;
    uint32_t WriteHeader(const uint8_t* header) override;
    uint32_t ReadByte(uint8_t* byte) override;

    // Bytes that become readable at clock time `atMs` (default: now).
    void QueueReply(const std::vector<uint8_t>& bytes);
    void QueueReplyAt(int64_t atMs, const std::vector<uint8_t>& bytes);
    // Called after every written frame; may queue a reply (a scripted unit).
    std::function<void(const std::vector<uint8_t>& frame)> m_onWrite;

    std::vector<std::vector<uint8_t>> m_writes;  // one entry per write call
    uint32_t m_nWriteResult = 1;                 // 0 makes writes fail
    uint32_t m_nLinkType = LINK_TYPE_NONE;
    uint64_t m_nReadAttempts = 0;
    size_t Pending() const { return m_rx.size(); }

    // The rest of the interface, inert.
    uint8_t* GetLinkInfo() override { return m_info; }
    uint8_t* GetDeviceRecord() override { return m_record; }
    const char* GetLocalAddress() override { return "localhost"; }
    uint16_t GetLocalPort() override { return 0; }
    const char* GetRemoteAddress() override { return "memory"; }
    uint16_t GetRemotePort() override { return 0; }
    void SetLinkTag(int32_t tag) override { m_tag = tag; }
    int32_t GetLinkTag() override { return m_tag; }
    void SetDeviceParam1(uint32_t) override {}
    uint32_t GetDeviceParam1() override { return 0; }
    void SetDeviceParam2(uint32_t) override {}
    uint32_t GetDeviceParam2() override { return 0; }
    void SetDeviceParam3(uint32_t) override {}
    uint32_t GetDeviceParam3() override { return 0; }
    // With m_nLinkType LINK_TYPE_NETWORK, 0 here is a connection that is gone.
    uint32_t IsConnected() override;
    // The connection goes at clock time `atMs`: nothing arrives after it.
    void LoseConnectionAt(int64_t atMs) { m_nLostAtMs = atMs; }

private:
    struct Timed {
        int64_t atMs;
        uint8_t byte;
    };
    CClock& m_clock;
    std::deque<Timed> m_rx;
    uint8_t m_info[LINK_INFO_SIZE] = {};
    uint8_t m_record[DEVICE_RECORD_SIZE] = {};
    int32_t m_tag = 0;
    int64_t m_nLostAtMs = -1;
};
