// Classic pcap, written and read without a library: a 24-byte file header
// (magic a1b2c3d4, version 2.4, snapshot length, link type) and per packet a
// 16-byte header (seconds, microseconds, captured and original length).
// Written in the machine's byte order, as every pcap writer does; read in
// either.
#include "platform/PacketFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/File.h"

namespace {
constexpr uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kMagicNano = 0xA1B23C4D;
constexpr uint32_t kSnapLength = 262144;

class COwnPcapFile : public CPacketFile {
public:
    explicit COwnPcapFile(std::FILE* file) : m_file(file) {}
    ~COwnPcapFile() override { std::fclose(m_file); }

    bool Write(int64_t timeUs, const uint8_t* frame, size_t size) override {
        const uint32_t header[4] = {static_cast<uint32_t>(timeUs / 1000000), static_cast<uint32_t>(timeUs % 1000000),
                                    static_cast<uint32_t>(size), static_cast<uint32_t>(size)};
        return std::fwrite(header, sizeof header, 1, m_file) == 1 &&
               (size == 0 || std::fwrite(frame, size, 1, m_file) == 1) && std::fflush(m_file) == 0;
    }

private:
    std::FILE* m_file;
};

uint32_t Swap32(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24); }
}  // namespace

std::unique_ptr<CPacketFile> CreateOwnPcapFile(const std::string& path, std::string* error) {
    std::FILE* f = OpenUtf8(path, "wb");
    if (!f) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    const uint32_t magic = kMagicMicro, snap = kSnapLength, linkType = 1, zone = 0, sigfigs = 0;
    const uint16_t major = 2, minor = 4;
    bool ok = std::fwrite(&magic, 4, 1, f) == 1 && std::fwrite(&major, 2, 1, f) == 1 &&
              std::fwrite(&minor, 2, 1, f) == 1 && std::fwrite(&zone, 4, 1, f) == 1 &&
              std::fwrite(&sigfigs, 4, 1, f) == 1 && std::fwrite(&snap, 4, 1, f) == 1 &&
              std::fwrite(&linkType, 4, 1, f) == 1 && std::fflush(f) == 0;
    if (!ok) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        std::fclose(f);
        return nullptr;
    }
    return std::make_unique<COwnPcapFile>(f);
}

bool ReadOwnPcapFile(const std::string& path, std::vector<CCapturedPacket>* packets, std::string* error) {
    std::FILE* f = OpenUtf8(path, "rb");
    if (!f) return *error = "cannot read " + path + ": " + std::strerror(errno), false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, std::fclose);
    uint32_t head[6];
    if (std::fread(head, sizeof head, 1, f) != 1) return *error = path + " is too short for a capture file", false;
    const uint32_t magic = head[0];
    const bool swapped = magic == Swap32(kMagicMicro) || magic == Swap32(kMagicNano);
    const uint32_t m = swapped ? Swap32(magic) : magic;
    if (m != kMagicMicro && m != kMagicNano)
        return *error = path + " is not a pcap file" +
                        (magic == 0x0A0D0D0A ? " (it is pcapng, which this build cannot read; save it as pcap)" : ""),
               false;
    auto host = [&](uint32_t v) { return swapped ? Swap32(v) : v; };
    const int linkType = static_cast<int>(host(head[5]) & 0xFFFF);
    const int64_t fraction = m == kMagicNano ? 1000 : 1;
    for (;;) {
        uint32_t ph[4];
        const size_t got = std::fread(ph, 1, sizeof ph, f);
        if (got == 0) break;
        if (got != sizeof ph) return *error = path + " ends inside a packet header", false;
        const uint32_t caplen = host(ph[2]);
        if (caplen > kSnapLength) return *error = path + " holds a packet larger than any capture takes", false;
        CCapturedPacket p;
        p.timeUs = static_cast<int64_t>(host(ph[0])) * 1000000 + host(ph[1]) / fraction;
        p.linkType = linkType;
        p.bytes.resize(caplen);
        if (caplen && std::fread(p.bytes.data(), caplen, 1, f) != 1)
            return *error = path + " ends inside a packet", false;
        packets->push_back(std::move(p));
    }
    return true;
}
