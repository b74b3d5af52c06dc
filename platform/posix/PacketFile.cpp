// Capture files through libpcap: it writes pcap and reads both pcap and
// pcapng, as capture tools save them.
#include "platform/PacketFile.h"

#include <pcap/pcap.h>

namespace {
class CLibpcapFile : public CPacketFile {
public:
    CLibpcapFile(pcap_t* handle, pcap_dumper_t* dumper) : m_handle(handle), m_dumper(dumper) {}
    ~CLibpcapFile() override {
        pcap_dump_close(m_dumper);
        pcap_close(m_handle);
    }

    bool Write(int64_t timeUs, const uint8_t* frame, size_t size) override {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(timeUs / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(timeUs % 1000000);
        header.caplen = header.len = static_cast<bpf_u_int32>(size);
        pcap_dump(reinterpret_cast<u_char*>(m_dumper), &header, frame);
        return pcap_dump_flush(m_dumper) == 0;
    }

private:
    pcap_t* m_handle;
    pcap_dumper_t* m_dumper;
};
}  // namespace

std::unique_ptr<CPacketFile> CreatePacketFile(const std::string& path, std::string* error) {
    pcap_t* handle = pcap_open_dead(DLT_EN10MB, 262144);
    if (!handle) {
        *error = "libpcap could not be started";
        return nullptr;
    }
    pcap_dumper_t* dumper = pcap_dump_open(handle, path.c_str());
    if (!dumper) {
        *error = pcap_geterr(handle);
        pcap_close(handle);
        return nullptr;
    }
    return std::make_unique<CLibpcapFile>(handle, dumper);
}

bool ReadPacketFile(const std::string& path, std::vector<CCapturedPacket>* packets, std::string* error) {
    char why[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, why);
    if (!handle) return *error = why, false;
    const int linkType = pcap_datalink(handle);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int r;
    while ((r = pcap_next_ex(handle, &header, &data)) == 1) {
        CCapturedPacket p;
        p.timeUs = static_cast<int64_t>(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
        p.linkType = linkType;
        p.bytes.assign(data, data + header->caplen);
        packets->push_back(std::move(p));
    }
    if (r == PCAP_ERROR) *error = pcap_geterr(handle);
    pcap_close(handle);
    return r != PCAP_ERROR;
}
