// No libpcap builds here: capture files are our own classic pcap writer's,
// and only classic pcap is read (pcapng is refused with a clear message).
#include "platform/PacketFile.h"

std::unique_ptr<CPacketFile> CreatePacketFile(const std::string& path, std::string* error) {
    return CreateOwnPcapFile(path, error);
}

bool ReadPacketFile(const std::string& path, std::vector<CCapturedPacket>* packets, std::string* error) {
    return ReadOwnPcapFile(path, packets, error);
}
