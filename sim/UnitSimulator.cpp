// Frames: 6-byte header (0x68 0x00, command LE, payload length LE), then
// the payload. Replies carry the same header with the reply length the
// loader expects for the command; the unit's own fields are big-endian.
// Bytes that cannot start a frame are dropped one at a time until a header
// word 0x0068 lines up again, as a unit resynchronises after line noise.
#include "sim/UnitSimulator.h"

#include <algorithm>

#include "platform/Text.h"

namespace {
void PutBe16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}
void PutBe32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    PutBe16(v, at, static_cast<uint16_t>(x >> 16));
    PutBe16(v, at + 2, static_cast<uint16_t>(x));
}

std::vector<uint8_t> Frame(uint16_t command, const std::vector<uint8_t>& payload) {
    // Sized for the whole frame at once: no growth of a 6-byte vector for
    // GCC 12 to misjudge (-Warray-bounds), and one allocation.
    std::vector<uint8_t> f(6 + payload.size());
    f[0] = 0x68;
    f[1] = 0x00;
    f[2] = static_cast<uint8_t>(command);
    f[3] = static_cast<uint8_t>(command >> 8);
    f[4] = static_cast<uint8_t>(payload.size());
    f[5] = static_cast<uint8_t>(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), f.begin() + 6);
    return f;
}

// Reply payload length per command; -1 for a command the unit does not know.
int ReplyLength(uint16_t command) {
    switch (command) {
        case 0x0000: return 0;
        case 0x1000: return 0;
        case 0x1001: return 4;
        case 0x1002: return 0;
        case 0x1003: return 16;
        case 0x1008: return 256;
        case 0x1020: return 0;
        case 0x1021: return 0;
        case 0x1022: return 4;
        case 0x1023: return 1;
        case 0x1024: return 0;
        case 0x2000: return 23;
        case 0x2002: return 5;
        case 0x2003: return 48;
        case 0x2009: return 128;
        default: return -1;
    }
}

}  // namespace

int EepromIndexFromSelectCode(uint8_t code) {
    if (code >= 0x10 && code <= 0x17) return code - 0x10;
    if (code >= 0x30 && code <= 0x33) return code - 0x30 + 8;
    return -1;
}

CUnitSimulator::CUnitSimulator(CClock& clock) : m_clock(clock) {
    for (int i = 0; i < 12; ++i) {
        m_imageIds[i] = i < 3 ? 0x5A000001u + static_cast<uint32_t>(i) : 0;
        m_personalities[i] = static_cast<uint16_t>(i < 3 ? i + 1 : 0);
        if (i < 3) m_eeproms[i].assign(4096, static_cast<uint8_t>(0xA0 + i));
    }
}

std::string CUnitSimulator::Digest(const std::vector<uint8_t>& data) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : data) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return Format("%zu:%016llx", data.size(), static_cast<unsigned long long>(h));
}

void CUnitSimulator::ResetConnection() {
    m_rx.clear();
    m_frames = 0;
}

void CUnitSimulator::FinishEraseIfDue() {
    if (m_eraseIndex >= 0 && m_clock.NowMs() - m_eraseStart >= m_eraseMs) {
        m_eraseIndex = -1;
        m_bEraseDone = true;
    }
}

std::vector<SimReply> CUnitSimulator::Feed(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rx.insert(m_rx.end(), data, data + size);
    std::vector<SimReply> out;
    uint16_t command = 0;
    std::vector<uint8_t> payload;
    while (NextFrame(&command, &payload)) {
        if (Answer(command, payload, out)) {
            m_rx.clear();
            break;
        }
    }
    return out;
}

bool CUnitSimulator::NextFrame(uint16_t* command, std::vector<uint8_t>* payload) {
    while (true) {
        while (!m_rx.empty() && m_rx[0] != 0x68) m_rx.erase(m_rx.begin());
        if (m_rx.size() < 2 || m_rx[1] == 0x00) break;
        m_rx.erase(m_rx.begin());
    }
    if (m_rx.size() < 6) return false;
    const size_t length = static_cast<size_t>(m_rx[4] | m_rx[5] << 8);
    if (m_rx.size() < 6 + length) return false;
    *command = static_cast<uint16_t>(m_rx[2] | m_rx[3] << 8);
    payload->assign(m_rx.begin() + 6, m_rx.begin() + 6 + static_cast<long>(length));
    m_rx.erase(m_rx.begin(), m_rx.begin() + 6 + static_cast<long>(length));
    ++m_frames;
    return true;
}

bool CUnitSimulator::Answer(uint16_t command, const std::vector<uint8_t>& payload, std::vector<SimReply>& out) {
    const int occurrence = ++m_commandCounts[command];
    using K = SimRule::EKind;
    if (const SimRule* cut = Rule(command, occurrence, {K::Close, K::Reset, K::Exit})) {
        SimReply r;
        r.closeAfter = true;
        r.resetOnClose = cut->kind != K::Close;
        r.exitProcess = cut->kind == K::Exit;
        out.push_back(r);
        return true;
    }
    if (Rule(command, occurrence, {K::Ignore})) return false;
    std::vector<SimReply> replies;
    if (Rule(command, occurrence, {K::Noop})) {
        const int length = ReplyLength(command);
        if (length >= 0) replies.push_back({Frame(command, std::vector<uint8_t>(static_cast<size_t>(length), 0))});
    } else {
        replies = Handle(command, payload);
    }
    ApplyRules(command, occurrence, replies);
    bool ends = false;
    if (const SimRule* hangup = Rule(command, occurrence, {K::Hangup})) {
        SimReply cut;
        cut.delayMs = hangup->value;
        cut.closeAfter = true;
        cut.resetOnClose = true;
        replies.push_back(cut);
        ends = true;
    } else if (const SimRule* close = Rule(command, occurrence, {K::CloseAfter})) {
        if (replies.empty()) replies.push_back({});
        replies.back().closeAfter = true;
        replies.back().resetOnClose = close->value != 0;
        ends = true;
    }
    out.insert(out.end(), replies.begin(), replies.end());
    return ends;
}

const SimRule* CUnitSimulator::Rule(uint16_t command, int occurrence,
                                   std::initializer_list<SimRule::EKind> kinds) const {
    for (const SimRule& r : m_faultRules)
        if (r.anyCommand ? r.Covers(m_frames) : r.command == command && r.Covers(occurrence))
            for (SimRule::EKind k : kinds)
                if (r.kind == k) return &r;
    return nullptr;
}

void CUnitSimulator::ApplyRules(uint16_t command, int occurrence, std::vector<SimReply>& replies) const {
    using K = SimRule::EKind;
    for (const SimRule& r : m_faultRules) {
        if (r.anyCommand || r.command != command || !r.Covers(occurrence) || replies.empty()) continue;
        SimReply& reply = replies.back();
        switch (r.kind) {
            case K::Drop: replies.clear(); break;
            case K::Delay: reply.delayMs += r.value; break;
            case K::Short:
                if (static_cast<size_t>(r.value) < reply.bytes.size()) reply.bytes.resize(static_cast<size_t>(r.value));
                break;
            case K::Extra:
                for (int i = 0; i < r.value; ++i) reply.bytes.push_back(static_cast<uint8_t>(0xE0 + (i & 0x0F)));
                break;
            case K::Garbage:
                // Never 0x68 at the start, so a reader that looked would see no frame.
                for (size_t i = 0; i < reply.bytes.size(); ++i) reply.bytes[i] = static_cast<uint8_t>(0xA5 ^ (i * 13));
                break;
            default: break;
        }
    }
}

std::vector<uint8_t> CUnitSimulator::ConfigPage(uint8_t page) const {
    std::vector<uint8_t> p(128, 0);
    if (page == 0) {
        PutBe16(p, 2 * 34, m_bDhcp ? 0x0002 : 0);
        PutBe16(p, 2 * 38, static_cast<uint16_t>(m_ipAddress >> 16));
        PutBe16(p, 2 * 39, static_cast<uint16_t>(m_ipAddress));
    } else if (page == 2) {
        for (int i = 0; i < 8; ++i) PutBe32(p, 2 * (27 + 2 * static_cast<size_t>(i)), m_imageIds[i]);
        PutBe16(p, 2 * 43, static_cast<uint16_t>(m_currentEeprom));
        for (int i = 0; i < 12; ++i) PutBe16(p, 2 * (44 + static_cast<size_t>(i)), m_personalities[i]);
        PutBe16(p, 2 * 60, m_bUpdateEnable ? 1 : 0);
        PutBe16(p, 2 * 63, static_cast<uint16_t>(0x80 | m_operationalMode));
    } else if (page == 3) {
        for (int j = 0; j < 4; ++j) PutBe32(p, 4 * static_cast<size_t>(j), m_imageIds[8 + j]);
    } else if (page >= 20 && page <= 24) {
        const std::string& t = m_texts[page - 20];
        for (size_t i = 0; i < 32; ++i) PutBe16(p, 2 * i, i < t.size() ? static_cast<uint8_t>(t[i]) : 0x20);
    }
    return p;
}

std::vector<SimReply> CUnitSimulator::Handle(uint16_t command, const std::vector<uint8_t>& q) {
    FinishEraseIfDue();
    const int length = ReplyLength(command);
    if (length < 0) return {};  // unknown command: no reply, like a unit that ignores it
    std::vector<uint8_t> payload(static_cast<size_t>(length), 0);
    SimReply reply;
    reply.delayMs = Act(command, q, payload);
    reply.bytes = Frame(command, payload);
    return {reply};
}

int CUnitSimulator::Act(uint16_t command, const std::vector<uint8_t>& q, std::vector<uint8_t>& payload) {
    const uint8_t first = q.empty() ? 0 : q[0];
    switch (command) {
        case 0x1000:
            // Modes 1 to 3 are the personalities; any other number is
            // acknowledged and leaves the mode as it was.
            if (first >= 1 && first <= 3) {
                m_operationalMode = first;
                ++m_commits;
            }
            return m_modeMs;
        case 0x1001: DspUpload(q); break;
        case 0x1002:
            m_turnOffs.push_back(first);
            ++m_commits;
            break;
        case 0x1003:
            for (size_t i = 0; i < 16; ++i)
                payload[i] = i < m_deviceId.size() ? static_cast<uint8_t>(m_deviceId[i]) : 0x20;
            break;
        case 0x1008:
            for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
            break;
        case 0x1020:
            if (m_uploadDsp == (first ? 1 : 0)) m_upload.insert(m_upload.end(), q.begin() + (q.empty() ? 0 : 1), q.end());
            break;
        case 0x1021: WritePage(q); return m_pageWriteMs;
        case 0x1022: PutBe32(payload, 0, Erase(first) >= 0 ? 0 : 0xFFFFFFFF); break;
        case 0x1023: payload[0] = m_bEraseDone ? 0x01 : 0x00; break;
        case 0x1024: Select(first); return m_selectMs;
        case 0x2000: payload[2] = static_cast<uint8_t>(0x80 | m_operationalMode); break;
        case 0x2002:
            payload[0] = m_bDhcp ? 1 : 0;
            PutBe32(payload, 1, m_ipAddress);
            break;
        case 0x2003: PutVersions(payload); break;
        case 0x2009: payload = ConfigPage(first); break;
        default: break;
    }
    return 0;
}

void CUnitSimulator::DspUpload(const std::vector<uint8_t>& q) {
    auto at = [&](size_t i) -> uint8_t { return i < q.size() ? q[i] : 0; };
    const int dsp = at(2) ? 1 : 0;
    if (at(0) == 0x13 && at(1) == 0x01) {
        m_uploadDsp = dsp;
        m_upload.clear();
    } else if (at(0) == 0x13 && at(1) == 0xFF && m_uploadDsp == dsp) {
        m_dspImages[dsp] = m_upload;
        m_uploadDsp = -1;
        ++m_commits;
    }
}

void CUnitSimulator::WritePage(const std::vector<uint8_t>& q) {
    const int idx = q.empty() ? -1 : EepromIndexFromSelectCode(q[0]);
    if (idx < 0 || q.size() < 259) return;
    const size_t offset = static_cast<size_t>(q[1]) << 16 | static_cast<size_t>(q[2]) << 8;
    auto& img = m_eeproms[idx];
    if (img.size() < offset + 256) img.resize(offset + 256, 0xFF);
    std::copy(q.begin() + 3, q.begin() + 259, img.begin() + static_cast<long>(offset));
    ++m_pageWrites;
}

int CUnitSimulator::Erase(uint8_t selectCode) {
    const int idx = EepromIndexFromSelectCode(selectCode);
    if (idx < 0) return idx;
    // Erased: all 0xFF, kept as no bytes so the image grows to exactly
    // what is programmed; the directory shows it unused.
    m_eeproms[idx].clear();
    m_imageIds[idx] = 0;
    m_personalities[idx] = 0;
    ++m_commits;
    m_eraseIndex = idx;
    m_eraseStart = m_clock.NowMs();
    m_bEraseDone = false;
    FinishEraseIfDue();
    return idx;
}

void CUnitSimulator::Select(uint8_t selectCode) {
    const int idx = EepromIndexFromSelectCode(selectCode);
    if (idx < 0) return;
    m_currentEeprom = idx;
    const auto& img = m_eeproms[idx];
    if (!img.empty()) {
        // The image id is a checksum of the configuration stored.
        uint32_t sum = 0;
        for (uint8_t b : img) sum = sum * 31 + b;
        m_imageIds[idx] = sum;
        // A freshly programmed image carries the personality of the mode
        // the unit runs in.
        if (m_personalities[idx] == 0) m_personalities[idx] = m_operationalMode;
    } else {
        m_imageIds[idx] = 0;
    }
    // The FPGA loads the selected configuration: its personality becomes
    // the unit's and, when it is a valid one, its mode.
    m_versions.personality = static_cast<uint8_t>(m_personalities[idx]);
    if (m_personalities[idx] >= 1 && m_personalities[idx] <= 3)
        m_operationalMode = static_cast<uint8_t>(m_personalities[idx]);
    ++m_commits;
}

void CUnitSimulator::PutVersions(std::vector<uint8_t>& payload) const {
    PutBe16(payload, 4, m_versions.serialPrefix);
    PutBe16(payload, 6, m_versions.serialSequence);
    PutBe32(payload, 8, m_versions.dsp1);
    PutBe32(payload, 12, m_versions.dsp2);
    PutBe32(payload, 16, m_versions.fio);
    PutBe32(payload, 20, m_versions.bridge);
    PutBe32(payload, 24, m_versions.dpFpga);
    payload[29] = m_versions.dspPcbRev;
    PutBe16(payload, 30, m_versions.dpPcbRev);
    payload[32] = m_versions.personality;
}

