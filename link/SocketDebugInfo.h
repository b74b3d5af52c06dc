// Common base of concrete links: addresses, ports, the connected flag, the
// 45-byte device record, and the Windows Sockets error texts that every
// socket failure is traced with.
#pragma once

#include <cstdint>
#include <string>

#include "link/BaseClass.h"
#include "platform/Text.h"  // MAX_ADDRESS_CHARS

class CSocketDebugInfo : public CBaseClass {
public:
    CSocketDebugInfo();

    uint8_t* GetLinkInfo() override { return m_LinkInfo; }
    uint8_t* GetDeviceRecord() override { return m_DeviceRecord; }
    const char* GetLocalAddress() override { return m_szLocalAddress.c_str(); }
    uint16_t GetLocalPort() override { return m_nLocalPort; }
    uint64_t GetDeviceId48() override;
    const char* GetRemoteAddress() override { return m_szRemoteAddress.c_str(); }
    uint16_t GetRemotePort() override;
    void SetLinkTag(int32_t tag) override { m_nLinkTag = tag; }
    int32_t GetLinkTag() override { return m_nLinkTag; }
    void SetDeviceParam1(uint32_t value) override;
    uint32_t GetDeviceParam1() override;
    void SetDeviceParam2(uint32_t value) override;
    uint32_t GetDeviceParam2() override;
    void SetDeviceParam3(uint32_t value) override;
    uint32_t GetDeviceParam3() override;
    uint32_t IsConnected() override { return m_bConnected; }

    // Writes the "*****" framed error block, one DebugOutput() per item.
    static void ReportSocketError(uint32_t errorCode, const std::string& operation);

    // Keeps at most MAX_ADDRESS_CHARS characters.
    void SetLocalAddress(const std::string& address);

protected:
    // The table text(s) for a code; empty for a code without an entry.
    static const char* SocketErrorText(uint32_t errorCode);
    void SetRemotePort(uint16_t port);  // record bytes 33-34
    // The text cut to MAX_ADDRESS_CHARS UTF-16 units, never inside a
    // surrogate pair.
    static std::string FitAddressField(const std::string& text);

    uint8_t m_LinkInfo[LINK_INFO_SIZE] = {};
    uint8_t m_DeviceRecord[DEVICE_RECORD_SIZE] = {};
    std::string m_szRemoteAddress;
    int32_t m_nLinkTag = 0;
    std::string m_szLocalAddress = "localhost";
    uint16_t m_nLocalPort = 0;
    uint32_t m_bConnected = 0;
};
