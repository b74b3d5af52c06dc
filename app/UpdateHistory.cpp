#include "app/UpdateHistory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/OutcomeJson.h"
#include "platform/Text.h"

#include "platform/CommandLine.h"
#include "platform/File.h"

namespace fs = std::filesystem;

namespace {
std::string Env(const char* name) {
    return EnvironmentUtf8(name);
}

}  // namespace

std::string UpdateHistoryPath() {
    if (std::string p = Env("TR52K_HISTORY_FILE"); !p.empty()) return p;
    if (std::string d = Env("XDG_DATA_HOME"); !d.empty()) return (fs::u8path(d) / "tr52k" / "history.jsonl").u8string();
    if (std::string d = Env("LOCALAPPDATA"); !d.empty()) return (fs::u8path(d) / "tr52k" / "history.jsonl").u8string();
    const std::string home = Env("HOME");
    return (fs::u8path(home.empty() ? "." : home) / ".local" / "share" / "tr52k" / "history.jsonl").u8string();
}

std::string Iso8601Utc(std::chrono::system_clock::time_point t) {
    const std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &s);
#else
    gmtime_r(&s, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string HistoryTimeText(const std::string& iso, bool utc) {
    std::tm tm{};
    char zone = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &zone) != 7 ||
        zone != 'Z')
        return iso;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
#ifdef _WIN32
    const std::time_t t = _mkgmtime(&tm);
#else
    const std::time_t t = timegm(&tm);
#endif
    if (t == static_cast<std::time_t>(-1)) return iso;
    std::tm shown{};
#ifdef _WIN32
    const bool ok = utc ? gmtime_s(&shown, &t) == 0 : localtime_s(&shown, &t) == 0;
#else
    const bool ok = utc ? gmtime_r(&t, &shown) != nullptr : localtime_r(&t, &shown) != nullptr;
#endif
    if (!ok) return iso;
    // The offset from the local time itself: strftime's %z is a zone name
    // on Windows.
    std::tm asUtc = shown;
#ifdef _WIN32
    const long offset = utc ? 0 : static_cast<long>(_mkgmtime(&asUtc) - t);
#else
    const long offset = utc ? 0 : static_cast<long>(timegm(&asUtc) - t);
#endif
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &shown);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    return utc ? std::string(text) + " UTC"
               : std::string(text) + Format(" %c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

std::string AbsoluteImagePath(const std::string& path) {
    if (path.empty()) return path;
    // A name that is not UTF-8 cannot be converted on Windows (it names no
    // file there either): kept as it was given.
    try {
        std::error_code error;
        const fs::path absolute = fs::absolute(fs::u8path(path), error);
        return error ? path : absolute.lexically_normal().u8string();
    } catch (const std::exception&) {
        return path;
    }
}

std::string UpdateHistoryLine(const CHistoryEntry& e, const CUpdateOutcome& o) {
    nlohmann::ordered_json j;
    j["time"] = Iso8601Utc(e.ended);
    j["started"] = Iso8601Utc(e.started);
    j["program"] = e.program;
    j["unit"] = EscapeInvalidUtf8(e.unit);
    if (!e.serial.empty()) j["serialNumber"] = EscapeInvalidUtf8(e.serial);
    const bool dsp = o.kind == EUpdateKind::DspFlash;
    j["target"] = dsp ? (o.target ? "DSP2" : "DSP1") : "EEPROM_" + std::to_string(o.target);
    j["ok"] = o.Succeeded();
    const nlohmann::ordered_json facts = OutcomeJson(o);
    for (const auto& [key, value] : facts.items()) j[key] = value;
    // Where the image was, whatever folder the program ran in: a relative
    // path says nothing in an audit later.
    j["file"] = EscapeInvalidUtf8(AbsoluteImagePath(o.imagePath));
    if (j.contains("proof"))
        for (auto& [name, value] : j["proof"].items()) value = EscapeInvalidUtf8(value.get<std::string>());
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool AppendUpdateHistory(const CHistoryEntry& entry, const CUpdateOutcome& outcome, std::string* why) {
    // Paths are UTF-8 here; u8path() and OpenUtf8() keep a non-ASCII one
    // (a Windows user's profile folder) whole.
    const fs::path path = fs::u8path(UpdateHistoryPath());
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    // One write of one whole line, appended: several units updated at once
    // each add theirs without mixing.
    const std::string line = UpdateHistoryLine(entry, outcome) + "\n";
    std::FILE* f = OpenUtf8(path.u8string(), "ab");
    if (!f) {
        if (why) *why = path.u8string() + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    const bool closed = std::fclose(f) == 0;
    if ((!written || !closed) && why) *why = path.u8string() + ": the line could not be written";
    return written && closed;
}

bool ReadUpdateHistory(const std::string& path, std::vector<std::string>* lines, size_t* skipped, std::string* why) {
    *skipped = 0;
    std::error_code ec;
    if (!fs::exists(fs::u8path(path), ec)) return true;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object())
            lines->push_back(line);
        else
            ++*skipped;
    }
    return true;
}

bool FindLastUpdate(const std::string& serial, const std::string& target, CHistoryRecord* record) {
    std::vector<std::string> lines;
    size_t skipped = 0;
    std::string why;
    if (serial.empty() || !ReadUpdateHistory(UpdateHistoryPath(), &lines, &skipped, &why)) return false;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const auto j = nlohmann::json::parse(*it, nullptr, false);
        auto text = [&](const char* key) { return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : ""; };
        if (text("serialNumber") != serial || text("target") != target) continue;
        // A run that found the image there wrote nothing: not an update.
        if (text("result") == UpdateResultName(EUpdateResult::AlreadyCurrent)) continue;
        record->time = text("time");
        record->result = text("result");
        record->sha256 = text("sha256");
        record->imageId = text("imageId");
        record->unit = text("unit");
        return true;
    }
    return false;
}
