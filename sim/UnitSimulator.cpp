// Frames: 6-byte header (0x68 0x00, command LE, payload length LE), then
// the payload. Replies carry the same header with the reply length the
// loader expects for the command; the unit's own fields are big-endian.
// Bytes that cannot start a frame are dropped one at a time until a header
// word 0x0068 lines up again, as a unit resynchronises after line noise.
#include "sim/UnitSimulator.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/File.h"
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

std::string ToHex(const std::vector<uint8_t>& d) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(d.size() * 2);
    for (uint8_t b : d) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

bool FromHex(const std::string& s, std::vector<uint8_t>* out) {
    if (s.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        auto val = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = val(s[i]), lo = val(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
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
    while (true) {
        while (!m_rx.empty() && m_rx[0] != 0x68) m_rx.erase(m_rx.begin());
        if (m_rx.size() >= 2 && m_rx[1] != 0x00) {
            m_rx.erase(m_rx.begin());
            continue;
        }
        if (m_rx.size() < 6) break;
        uint16_t command = static_cast<uint16_t>(m_rx[2] | m_rx[3] << 8);
        size_t length = static_cast<size_t>(m_rx[4] | m_rx[5] << 8);
        if (m_rx.size() < 6 + length) break;
        std::vector<uint8_t> payload(m_rx.begin() + 6, m_rx.begin() + 6 + static_cast<long>(length));
        m_rx.erase(m_rx.begin(), m_rx.begin() + 6 + static_cast<long>(length));
        ++m_frames;
        m_lastFrames.emplace_back(command, payload);
        if (m_lastFrames.size() > LAST_FRAMES_KEPT) m_lastFrames.pop_front();
        const int occurrence = ++m_commandCounts[command];
        using K = SimRule::EKind;
        if (const SimRule* cut = Rule(command, occurrence, {K::Close, K::Reset, K::Exit})) {
            SimReply r;
            r.closeAfter = true;
            r.resetOnClose = cut->kind != K::Close;
            r.exitProcess = cut->kind == K::Exit;
            out.push_back(r);
            m_rx.clear();
            break;
        }
        if (Rule(command, occurrence, {K::Ignore})) continue;
        std::vector<SimReply> replies;
        if (Rule(command, occurrence, {K::Noop})) {
            const int length = ReplyLength(command);
            if (length >= 0) replies.push_back({Frame(command, std::vector<uint8_t>(static_cast<size_t>(length), 0))});
        } else {
            replies = Handle(command, payload);
        }
        ApplyRules(command, occurrence, replies);
        if (const SimRule* hangup = Rule(command, occurrence, {K::Hangup})) {
            SimReply cut;
            cut.delayMs = hangup->value;
            cut.closeAfter = true;
            cut.resetOnClose = true;
            replies.push_back(cut);
            out.insert(out.end(), replies.begin(), replies.end());
            m_rx.clear();
            break;
        }
        if (m_faults.closeAfterFrames >= 0 && m_frames >= m_faults.closeAfterFrames) {
            if (replies.empty()) replies.push_back({});
            replies.back().closeAfter = true;
            replies.back().resetOnClose = m_faults.resetOnClose;
            out.insert(out.end(), replies.begin(), replies.end());
            m_rx.clear();
            break;
        }
        out.insert(out.end(), replies.begin(), replies.end());
    }
    return out;
}

const SimRule* CUnitSimulator::Rule(uint16_t command, int occurrence,
                                   std::initializer_list<SimRule::EKind> kinds) const {
    for (const SimRule& r : m_faults.rules)
        if (r.command == command && r.Covers(occurrence))
            for (SimRule::EKind k : kinds)
                if (r.kind == k) return &r;
    return nullptr;
}

void CUnitSimulator::ApplyRules(uint16_t command, int occurrence, std::vector<SimReply>& replies) const {
    using K = SimRule::EKind;
    for (const SimRule& r : m_faults.rules) {
        if (r.command != command || !r.Covers(occurrence) || replies.empty()) continue;
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

bool ParseSimRule(const std::string& text, SimRule* rule, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = "bad fault '" + text + "': " + why;
        return false;
    };
    auto number = [](const std::string& s, int base, long max, long* out) {
        if (s.empty()) return false;
        try {
            size_t used = 0;
            long v = std::stol(s, &used, base);
            if (used != s.size() || v < 0 || v > max) return false;
            *out = v;
        } catch (const std::exception&) {
            return false;
        }
        return true;
    };
    std::string body = text;
    SimRule r;
    long v = 0;
    size_t star = body.find('*');
    if (star != std::string::npos) {
        if (!number(body.substr(star + 1), 10, 1000000, &v) || v == 0) return fail("COUNT must be a number above 0");
        r.count = static_cast<int>(v);
        body.resize(star);
    }
    size_t at = body.find('@');
    if (at != std::string::npos) {
        if (!number(body.substr(at + 1), 10, 1000000, &v) || v == 0) return fail("FROM must be a number above 0");
        r.from = static_cast<int>(v);
        body.resize(at);
    }
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t colon = body.find(':', start);
        parts.push_back(body.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    static const std::pair<const char*, SimRule::EKind> kinds[] = {
        {"drop", SimRule::EKind::Drop},       {"ignore", SimRule::EKind::Ignore}, {"delay", SimRule::EKind::Delay},
        {"short", SimRule::EKind::Short},     {"extra", SimRule::EKind::Extra},   {"garbage", SimRule::EKind::Garbage},
        {"close", SimRule::EKind::Close},     {"reset", SimRule::EKind::Reset},   {"exit", SimRule::EKind::Exit},
        {"noop", SimRule::EKind::Noop},       {"hangup", SimRule::EKind::Hangup}};
    bool known = false;
    for (const auto& k : kinds)
        if (parts[0] == k.first) {
            r.kind = k.second;
            known = true;
        }
    if (!known) return fail("unknown kind '" + parts[0] + "'");
    if (parts.size() < 2 || !number(parts[1], 0, 0xFFFF, &v)) return fail("CMD must be a command code");
    r.command = static_cast<uint16_t>(v);
    const bool needsValue = r.kind == SimRule::EKind::Delay || r.kind == SimRule::EKind::Short ||
                            r.kind == SimRule::EKind::Extra || r.kind == SimRule::EKind::Hangup;
    if (needsValue != (parts.size() == 3)) return fail(needsValue ? "VALUE is missing" : "takes no VALUE");
    if (parts.size() > 3) return fail("too many fields");
    if (needsValue) {
        if (!number(parts[2], 10, 600000, &v)) return fail("VALUE must be a number");
        r.value = static_cast<int>(v);
    }
    *rule = r;
    return true;
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
    auto at = [&](size_t i) -> uint8_t { return i < q.size() ? q[i] : 0; };
    int length = ReplyLength(command);
    if (length < 0) return {};  // unknown command: no reply, like a unit that ignores it
    std::vector<uint8_t> payload(static_cast<size_t>(length), 0);
    int workMs = 0;

    // Page writes that are made to fail are not written and not answered.
    if (command == 0x1021 && m_faults.failPages > 0) {
        --m_faults.failPages;
        return {};
    }
    switch (command) {
        case 0x1000:
            // Modes 1 to 3 are the personalities; any other number is
            // acknowledged and leaves the mode as it was.
            if (at(0) >= 1 && at(0) <= 3) {
                m_operationalMode = at(0);
                ++m_commits;
            }
            workMs = m_modeMs;
            break;
        case 0x1001: {
            int dsp = at(2) ? 1 : 0;
            if (at(0) == 0x13 && at(1) == 0x01) {
                m_uploadDsp = dsp;
                m_upload.clear();
            } else if (at(0) == 0x13 && at(1) == 0xFF && m_uploadDsp == dsp) {
                m_dspImages[dsp] = m_upload;
                m_uploadDsp = -1;
                ++m_commits;
            }
            break;
        }
        case 0x1002:
            m_turnOffs.push_back(at(0));
            ++m_commits;
            break;
        case 0x1003:
            for (size_t i = 0; i < 16; ++i)
                payload[i] = i < m_deviceId.size() ? static_cast<uint8_t>(m_deviceId[i]) : 0x20;
            break;
        case 0x1008:
            for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
            break;
        case 0x1020: {
            int dsp = at(0) ? 1 : 0;
            if (m_uploadDsp == dsp) m_upload.insert(m_upload.end(), q.begin() + (q.empty() ? 0 : 1), q.end());
            break;
        }
        case 0x1021: {
            int idx = EepromIndexFromSelectCode(at(0));
            if (idx >= 0 && q.size() >= 259) {
                size_t offset = static_cast<size_t>(at(1)) << 16 | static_cast<size_t>(at(2)) << 8;
                auto& img = m_eeproms[idx];
                if (img.size() < offset + 256) img.resize(offset + 256, 0xFF);
                std::copy(q.begin() + 3, q.begin() + 259, img.begin() + static_cast<long>(offset));
                ++m_pageWrites;
            }
            workMs = m_pageWriteMs;
            break;
        }
        case 0x1022: {
            int idx = EepromIndexFromSelectCode(at(0));
            if (idx >= 0) {
                // Erased: all 0xFF, kept as no bytes so the image grows to
                // exactly what is programmed; the directory shows it unused.
                m_eeproms[idx].clear();
                m_imageIds[idx] = 0;
                m_personalities[idx] = 0;
                ++m_commits;
                m_eraseIndex = idx;
                m_eraseStart = m_clock.NowMs();
                m_bEraseDone = false;
                FinishEraseIfDue();
            }
            PutBe32(payload, 0, idx >= 0 ? 0 : 0xFFFFFFFF);
            break;
        }
        case 0x1023: payload[0] = m_bEraseDone ? 0x01 : 0x00; break;
        case 0x1024: {
            int idx = EepromIndexFromSelectCode(at(0));
            if (idx >= 0) {
                m_currentEeprom = idx;
                const auto& img = m_eeproms[idx];
                if (!img.empty()) {
                    // The image id is a checksum of the configuration stored.
                    uint32_t sum = 0;
                    for (uint8_t b : img) sum = sum * 31 + b;
                    m_imageIds[idx] = sum;
                    // A freshly programmed image carries the personality of
                    // the mode the unit runs in.
                    if (m_personalities[idx] == 0) m_personalities[idx] = m_operationalMode;
                } else {
                    m_imageIds[idx] = 0;
                }
                // The FPGA loads the selected configuration: its personality
                // becomes the unit's and, when it is a valid one, its mode.
                m_versions.personality = static_cast<uint8_t>(m_personalities[idx]);
                if (m_personalities[idx] >= 1 && m_personalities[idx] <= 3)
                    m_operationalMode = static_cast<uint8_t>(m_personalities[idx]);
                ++m_commits;
            }
            workMs = m_selectMs;
            break;
        }
        case 0x2000: payload[2] = static_cast<uint8_t>(0x80 | m_operationalMode); break;
        case 0x2002:
            payload[0] = m_bDhcp ? 1 : 0;
            PutBe32(payload, 1, m_ipAddress);
            break;
        case 0x2003:
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
            break;
        case 0x2009: payload = ConfigPage(at(0)); break;
        default: break;
    }

    auto drop = m_faults.drop.find(command);
    if (drop != m_faults.drop.end() && drop->second != 0) {
        if (drop->second > 0) --drop->second;
        return {};
    }
    SimReply reply;
    reply.bytes = Frame(command, payload);
    reply.delayMs = workMs;
    auto d = m_faults.delayMs.find(command);
    if (d != m_faults.delayMs.end()) reply.delayMs += d->second;
    auto s = m_faults.shortLen.find(command);
    if (s != m_faults.shortLen.end() && s->second >= 0 && static_cast<size_t>(s->second) < reply.bytes.size())
        reply.bytes.resize(static_cast<size_t>(s->second));
    auto e = m_faults.extra.find(command);
    if (e != m_faults.extra.end())
        for (int i = 0; i < e->second; ++i) reply.bytes.push_back(static_cast<uint8_t>(0xE0 + (i & 0x0F)));
    return {reply};
}

std::string CUnitSimulator::StateText() const {
    using nlohmann::json;
    json j;
    j["versions"] = {{"serialPrefix", m_versions.serialPrefix}, {"serialSequence", m_versions.serialSequence},
                     {"dsp1", m_versions.dsp1}, {"dsp2", m_versions.dsp2}, {"fio", m_versions.fio},
                     {"bridge", m_versions.bridge}, {"dpFpga", m_versions.dpFpga},
                     {"dspPcbRev", m_versions.dspPcbRev}, {"dpPcbRev", m_versions.dpPcbRev},
                     {"personality", m_versions.personality}};
    j["deviceId"] = m_deviceId;
    j["dhcp"] = m_bDhcp;
    j["ipAddress"] = m_ipAddress;
    j["updateEnable"] = m_bUpdateEnable;
    j["operationalMode"] = m_operationalMode;
    j["currentEeprom"] = m_currentEeprom;
    j["texts"] = m_texts;
    for (int i = 0; i < 12; ++i)
        j["eeproms"].push_back({{"imageId", m_imageIds[i]}, {"personality", m_personalities[i]},
                                {"data", ToHex(m_eeproms[i])}});
    for (int i = 0; i < 2; ++i) j["dsp"].push_back(ToHex(m_dspImages[i]));
    return j.dump(1);
}

bool CUnitSimulator::WriteStateFile(const std::string& path, const std::string& text, std::string* error) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(std::filesystem::u8path(tmp), std::ios::binary | std::ios::trunc);
        if (!f) {
            if (error) *error = "cannot write " + tmp;
            return false;
        }
        f << text;
        if (!f.good()) {
            if (error) *error = "cannot write " + tmp;
            return false;
        }
    }
    if (!MoveFileOver(tmp, path)) {
        if (error) *error = "cannot replace " + path;
        return false;
    }
    return true;
}

bool CUnitSimulator::SaveState(const std::string& path, std::string* error) {
    return WriteStateFile(path, StateText(), error);
}

bool CUnitSimulator::LoadState(const std::string& path, std::string* error) {
    using nlohmann::json;
    std::ifstream f(std::filesystem::u8path(path), std::ios::binary);
    if (!f) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    try {
        json j = json::parse(f);
        const json& v = j.at("versions");
        m_versions.serialPrefix = v.at("serialPrefix");
        m_versions.serialSequence = v.at("serialSequence");
        m_versions.dsp1 = v.at("dsp1");
        m_versions.dsp2 = v.at("dsp2");
        m_versions.fio = v.at("fio");
        m_versions.bridge = v.at("bridge");
        m_versions.dpFpga = v.at("dpFpga");
        m_versions.dspPcbRev = v.at("dspPcbRev");
        m_versions.dpPcbRev = v.at("dpPcbRev");
        m_versions.personality = v.at("personality");
        m_deviceId = j.at("deviceId");
        m_bDhcp = j.at("dhcp");
        m_ipAddress = j.at("ipAddress");
        m_bUpdateEnable = j.at("updateEnable");
        m_operationalMode = j.at("operationalMode");
        m_currentEeprom = j.at("currentEeprom");
        m_texts = j.at("texts").get<std::array<std::string, 5>>();
        for (int i = 0; i < 12; ++i) {
            const json& e = j.at("eeproms").at(static_cast<size_t>(i));
            m_imageIds[i] = e.at("imageId");
            m_personalities[i] = e.at("personality");
            if (!FromHex(e.at("data").get<std::string>(), &m_eeproms[i])) throw std::runtime_error("bad image data");
        }
        for (int i = 0; i < 2; ++i)
            if (!FromHex(j.at("dsp").at(static_cast<size_t>(i)).get<std::string>(), &m_dspImages[i]))
                throw std::runtime_error("bad DSP image data");
    } catch (const std::exception& e) {
        if (error) *error = path + ": " + e.what();
        return false;
    }
    return true;
}
