// The unit's state file: everything a restart keeps, as JSON with the images
// in hex, written beside the file and moved over it so a crash leaves the
// old state or the new one, never half of either.
#include "sim/UnitSimulator.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/File.h"

namespace {
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
