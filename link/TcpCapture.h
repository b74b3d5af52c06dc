// A capture sink that writes each connection as a TCP stream of Ethernet,
// IPv4 (or IPv6) and TCP headers into a capture file: a handshake when the
// link connects, one segment per chunk of bytes with consistent sequence
// and acknowledgement numbers, a FIN when a side closes. Any capture tool
// then reassembles each unit's stream with its real addresses and ports.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/CaptureSink.h"
#include "platform/PacketFile.h"

class CTcpCapture : public CCaptureSink {
public:
    explicit CTcpCapture(std::unique_ptr<CPacketFile> file);

    int OpenStream(const CCaptureEndpoint& local, const CCaptureEndpoint& unit, int64_t timeUs) override;
    void Record(int stream, ECaptureDirection direction, const uint8_t* data, size_t size, int64_t timeUs) override;
    void CloseStream(int stream, ECaptureDirection closer, int64_t timeUs) override;

    // True once a packet could not be written (a full disk): the file holds
    // what came before.
    bool WriteFailed();

    // The largest payload of one segment; longer chunks are split.
    static constexpr size_t kSegmentBytes = 1440;

private:
    struct Side {
        CCaptureEndpoint end;
        uint32_t seq = 0;  // next sequence number this side sends
        bool finSent = false;
    };
    struct Stream {
        Side local, unit;
        uint16_t ipId = 0;
    };
    void Segment(Stream& s, ECaptureDirection from, uint8_t flags, const uint8_t* data, size_t size, int64_t timeUs);

    std::mutex m_mutex;
    std::unique_ptr<CPacketFile> m_file;
    std::map<int, Stream> m_streams;
    int m_next = 0;
    bool m_failed = false;
};

// Ethernet, IP and TCP headers around a payload, with correct checksums;
// the addresses' families must agree. Exposed for the tests.
std::vector<uint8_t> TcpFrame(const CCaptureEndpoint& from, const CCaptureEndpoint& to, uint32_t seq, uint32_t ack,
                              uint8_t flags, uint16_t ipId, const uint8_t* data, size_t size);

constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpPsh = 0x08, kTcpAck = 0x10;

// The dialog's capture: TR52K_CAPTURE_FILE names a capture file for every
// byte of its connection, set for the links made from here on. Null when
// the variable is unset, or when the file cannot be written (said in the
// trace; the dialog runs without).
std::unique_ptr<CTcpCapture> StartCaptureFromEnvironment();
