// Capture files of Ethernet frames (pcap), the role each system fills its
// own way: libpcap where it builds (platform/posix), our own small writer
// and reader elsewhere (platform/win32, with PcapFile.cpp here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CPacketFile {
public:
    virtual ~CPacketFile() = default;
    // Appends one Ethernet frame stamped `timeUs` (microseconds since 1970)
    // and pushes it to the file at once, so a crash keeps what came before.
    // False when the file could not be written.
    virtual bool Write(int64_t timeUs, const uint8_t* frame, size_t size) = 0;
};

// One end of a connection: its IPv4 or IPv6 address and its port.
struct CCaptureEndpoint {
    bool v6 = false;
    uint8_t address[16] = {};  // IPv4 in the first four bytes
    uint16_t port = 0;
};

// Creates (or empties) a capture file for Ethernet frames; null, with the
// reason in *error, when it cannot be written.
std::unique_ptr<CPacketFile> CreatePacketFile(const std::string& path, std::string* error);

// One packet as a capture file holds it: its time, the link-layer type of
// the file (DLT_*: 1 Ethernet, 101 raw IP, 113 and 276 Linux cooked, 0 and
// 108 BSD loopback) and its bytes as captured.
struct CCapturedPacket {
    int64_t timeUs = 0;
    int linkType = 1;
    std::vector<uint8_t> bytes;
};

// Reads every packet of a capture file; false, with the reason, when it is
// not one this system can read.
bool ReadPacketFile(const std::string& path, std::vector<CCapturedPacket>* packets, std::string* error);

// Our own writer and reader of classic pcap files (microsecond time stamps,
// either byte order when reading): the role on systems without libpcap,
// and built everywhere so libpcap can check what it writes.
std::unique_ptr<CPacketFile> CreateOwnPcapFile(const std::string& path, std::string* error);
bool ReadOwnPcapFile(const std::string& path, std::vector<CCapturedPacket>* packets, std::string* error);
