// The abstract device link. The command object writes whole request frames
// through it and reads the reply one byte at a time, so it never knows which
// transport lies below (TCP here, an in-memory link in tests).
#pragma once

#include <cstdint>

constexpr uint32_t LINK_TYPE_NONE = 0;
constexpr uint32_t LINK_TYPE_NETWORK = 2;

constexpr int LINK_INFO_SIZE = 76;
constexpr int DEVICE_RECORD_SIZE = 45;

class CBaseClass {
public:
    virtual ~CBaseClass() = default;

    virtual uint32_t GetLinkType() { return LINK_TYPE_NONE; }
    virtual uint8_t* GetLinkInfo() = 0;      // 76 bytes
    virtual uint8_t* GetDeviceRecord() = 0;  // 45 bytes
    // Reads and drops stray input for a while; returns how many bytes came.
    virtual uint16_t FlushReceive() { return 0; }
    virtual uint32_t WriteByte(uint32_t value) { (void)value; return 0; }
    virtual uint32_t WriteBuffer(const uint8_t* data, uint32_t length) {
        (void)data; (void)length; return 0;
    }
    virtual uint32_t WriteHeader(const uint8_t* header) { (void)header; return 0; }
    // One attempt, never blocking for long: non-zero when a byte was stored.
    virtual uint32_t ReadByte(uint8_t* byte) { (void)byte; return 0; }
    virtual const char* GetLocalAddress() = 0;
    virtual uint16_t GetLocalPort() = 0;
    virtual uint64_t GetDeviceId48() { return 0; }
    virtual const char* GetRemoteAddress() = 0;
    virtual uint16_t GetRemotePort() = 0;
    virtual void SetLinkTag(int32_t tag) = 0;
    virtual int32_t GetLinkTag() = 0;
    virtual void SetDeviceParam1(uint32_t value) = 0;
    virtual uint32_t GetDeviceParam1() = 0;
    virtual void SetDeviceParam2(uint32_t value) = 0;
    virtual uint32_t GetDeviceParam2() = 0;
    virtual void SetDeviceParam3(uint32_t value) = 0;
    virtual uint32_t GetDeviceParam3() = 0;
    virtual void Reserved1() {}
    virtual uint32_t Reserved2() { return 0; }
    virtual uint32_t Reserved3(uint32_t, uint32_t, uint32_t, uint32_t) { return 0; }
    virtual uint32_t Reserved4() { return 0; }
    virtual uint32_t Reserved5(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return 0; }
    virtual uint32_t IsConnected() { return 0; }
    // What a front end's event loop can watch for the link's input while no
    // exchange runs (a socket), or -1 for a link without one.
    virtual intptr_t InputWatchHandle() { return -1; }
};
