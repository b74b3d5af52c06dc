#include "sim/CaptureStreams.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

#include "platform/Text.h"

namespace {
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return static_cast<uint32_t>(Be16(p)) << 16 | Be16(p + 2); }

struct Segment {
    CCaptureEndpoint from, to;
    uint32_t seq = 0;
    uint8_t flags = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Where the IP header starts for the file's link layer, or -1.
long IpOffset(const CCapturedPacket& p) {
    const std::vector<uint8_t>& b = p.bytes;
    switch (p.linkType) {
        case 1: {  // Ethernet, with any 802.1Q tags
            size_t at = 12;
            while (at + 2 <= b.size() && (Be16(&b[at]) == 0x8100 || Be16(&b[at]) == 0x88A8)) at += 4;
            return at + 2 <= b.size() ? static_cast<long>(at + 2) : -1;
        }
        case 12: case 14: case 101: return 0;  // raw IP
        case 113: return 16;                   // Linux cooked
        case 276: return 20;                   // Linux cooked, version 2
        case 0: case 108: return 4;            // BSD loopback: the address family, then IP
        default: return -1;
    }
}

bool ParseSegment(const CCapturedPacket& p, Segment* s) {
    const long ipAt = IpOffset(p);
    if (ipAt < 0 || static_cast<size_t>(ipAt) >= p.bytes.size()) return false;
    const uint8_t* ip = p.bytes.data() + ipAt;
    size_t left = p.bytes.size() - static_cast<size_t>(ipAt);
    const uint8_t* tcp;
    size_t tcpBytes;
    *s = Segment{};
    if ((ip[0] >> 4) == 4 && left >= 20) {
        const size_t ihl = (ip[0] & 0x0F) * 4u, total = Be16(ip + 2);
        // Fragments are not reassembled; TCP over loopback and LANs has none.
        if (ip[9] != 6 || ihl < 20 || total > left || total < ihl || (Be16(ip + 6) & 0x3FFF) != 0) return false;
        std::memcpy(s->from.address, ip + 12, 4);
        std::memcpy(s->to.address, ip + 16, 4);
        tcp = ip + ihl;
        tcpBytes = total - ihl;  // Ethernet padding left out
    } else if ((ip[0] >> 4) == 6 && left >= 40) {
        const size_t payload = Be16(ip + 4);
        if (ip[6] != 6 || 40 + payload > left) return false;
        s->from.v6 = s->to.v6 = true;
        std::memcpy(s->from.address, ip + 8, 16);
        std::memcpy(s->to.address, ip + 24, 16);
        tcp = ip + 40;
        tcpBytes = payload;
    } else {
        return false;
    }
    if (tcpBytes < 20) return false;
    const size_t header = (tcp[12] >> 4) * 4u;
    if (header < 20 || header > tcpBytes) return false;
    s->from.port = Be16(tcp);
    s->to.port = Be16(tcp + 2);
    s->seq = Be32(tcp + 4);
    s->flags = tcp[13];
    s->data = tcp + header;
    s->size = tcpBytes - header;
    return true;
}

using EndKey = std::tuple<bool, std::string, uint16_t>;
EndKey Key(const CCaptureEndpoint& e) {
    return {e.v6, std::string(reinterpret_cast<const char*>(e.address), e.v6 ? 16 : 4), e.port};
}

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

// One direction's receiver: in-order bytes go out at once, early ones wait.
struct Direction {
    bool started = false;
    uint32_t next = 0;  // the sequence number of the next byte in order
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> early;

    // Returns the bytes this segment makes available in order.
    std::vector<uint8_t> Take(const Segment& s) {
        std::vector<uint8_t> out;
        if (s.flags & kSyn) {
            started = true;
            next = s.seq + 1;
            early.clear();
        }
        if (s.size == 0) return out;
        const uint32_t seq = (s.flags & kSyn) ? s.seq + 1 : s.seq;
        if (!started) {  // the capture began after the handshake
            started = true;
            next = seq;
        }
        early.emplace_back(seq, std::vector<uint8_t>(s.data, s.data + s.size));
        for (bool progress = true; progress;) {
            progress = false;
            for (size_t i = 0; i < early.size(); ++i) {
                const int32_t ahead = static_cast<int32_t>(early[i].first - next);
                if (ahead > 0) continue;
                const std::vector<uint8_t>& bytes = early[i].second;
                const size_t skip = static_cast<size_t>(-static_cast<int64_t>(ahead));
                if (skip < bytes.size()) {  // else wholly a retransmission
                    out.insert(out.end(), bytes.begin() + static_cast<long>(skip), bytes.end());
                    next += static_cast<uint32_t>(bytes.size() - skip);
                }
                early.erase(early.begin() + static_cast<long>(i));
                progress = true;
                break;
            }
        }
        return out;
    }
};

struct Building {
    CCaptureEndpoint a, b;  // a: the side first seen sending
    int unitSide = -1;      // 0: a, 1: b, -1: not known yet
    bool aSpokeFirst = false, bSpokeFirst = false;
    bool ended = false;     // a FIN or RST was seen: a SYN afterwards starts a new connection
    Direction fromA, fromB;
    std::vector<std::pair<bool, CStreamDelivery>> deliveries;  // (from a, delivery)
};
}  // namespace

std::string EndpointText(const CCaptureEndpoint& e) {
    if (e.v6) {
        std::string t;
        for (int i = 0; i < 16; i += 2) t += Format(i ? ":%x" : "%x", e.address[i] << 8 | e.address[i + 1]);
        return "[" + t + "]:" + std::to_string(e.port);
    }
    return Format("%u.%u.%u.%u:%u", e.address[0], e.address[1], e.address[2], e.address[3], e.port);
}

std::vector<CRecordedConnection> RecordedConnections(const std::vector<CCapturedPacket>& packets) {
    std::vector<std::unique_ptr<Building>> all;
    std::map<std::pair<EndKey, EndKey>, Building*> open;
    for (const CCapturedPacket& p : packets) {
        Segment s;
        if (!ParseSegment(p, &s)) continue;
        const EndKey from = Key(s.from), to = Key(s.to);
        auto it = open.find({std::min(from, to), std::max(from, to)});
        const bool newSyn = (s.flags & kSyn) && !(s.flags & kAck);
        if (it == open.end() || (newSyn && it->second->ended)) {
            all.push_back(std::make_unique<Building>());
            Building* c = all.back().get();
            c->a = s.from;
            c->b = s.to;
            open[{std::min(from, to), std::max(from, to)}] = c;
            it = open.find({std::min(from, to), std::max(from, to)});
        }
        Building& c = *it->second;
        const bool fromA = Key(c.a) == from;
        if (s.flags & kSyn) c.unitSide = (s.flags & kAck) ? (fromA ? 0 : 1) : (fromA ? 1 : 0);
        if (s.flags & (kFin | kRst)) c.ended = true;
        std::vector<uint8_t> bytes = (fromA ? c.fromA : c.fromB).Take(s);
        if (bytes.empty()) continue;
        if (!c.aSpokeFirst && !c.bSpokeFirst) (fromA ? c.aSpokeFirst : c.bSpokeFirst) = true;
        CStreamDelivery d;
        d.bytes = std::move(bytes);
        d.timeUs = p.timeUs;
        c.deliveries.emplace_back(fromA, std::move(d));
    }
    std::vector<CRecordedConnection> out;
    for (auto& c : all) {
        int unit = c->unitSide;
        if (unit < 0) unit = c->b.port == 5000 ? 1 : c->a.port == 5000 ? 0 : c->aSpokeFirst ? 1 : 0;
        CRecordedConnection r;
        r.unit = unit == 0 ? c->a : c->b;
        r.client = unit == 0 ? c->b : c->a;
        for (auto& [fromA, d] : c->deliveries) {
            d.fromUnit = fromA == (unit == 0);
            r.deliveries.push_back(std::move(d));
        }
        out.push_back(std::move(r));
    }
    return out;
}
