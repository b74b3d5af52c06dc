// File-backed registry store. The file is a registry export, readable and
// editable by hand; every change rewrites it through a temporary file and a
// rename, so a crash leaves either the old or the new file, never half of one.
// Reading and rewriting the file is each platform's (posix/, win32/).
#include "platform/Registry.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <sstream>

#include "platform/Text.h"

using namespace win32;

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kRoot = "HKEY_LOCAL_MACHINE\\";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses a quoted string starting at s[pos] == '"'; leaves pos after it.
bool ParseQuoted(const std::string& s, size_t& pos, std::string* out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    ++pos;
    out->clear();
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') return true;
        if (c == '\\') {
            if (pos >= s.size()) return false;
            char e = s[pos++];
            if (e != '\\' && e != '"') return false;
            out->push_back(e);
        } else {
            out->push_back(c);
        }
    }
    return false;
}

bool ParseHexList(const std::string& s, std::vector<uint8_t>* out) {
    out->clear();
    size_t i = 0;
    if (s.empty()) return true;
    while (true) {
        if (i + 2 > s.size()) return false;
        int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
        i += 2;
        if (i == s.size()) return true;
        if (s[i] != ',') return false;
        ++i;
    }
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace

bool ParseRegistryExport(const std::string& text, RegHive* hive, std::string* error) {
    hive->clear();
    auto fail = [&](size_t line, const std::string& why) {
        if (error) *error = Format("line %zu: %s", line, why.c_str());
        return false;
    };
    if (text.find('\0') != std::string::npos) return fail(1, "binary data");
    // Join continuation lines (a trailing backslash), as regedit writes them.
    std::vector<std::pair<size_t, std::string>> lines;
    {
        std::istringstream in(text);
        std::string line, pending;
        size_t n = 0, start = 0;
        while (std::getline(in, line)) {
            ++n;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (pending.empty()) start = n;
            if (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
                line.pop_back();
                pending += line;
                continue;
            }
            if (!pending.empty()) {
                size_t k = line.find_first_not_of(" \t");
                pending += (k == std::string::npos) ? "" : line.substr(k);
                lines.emplace_back(start, pending);
                pending.clear();
            } else {
                lines.emplace_back(n, line);
            }
        }
        if (!pending.empty()) return fail(start, "unfinished continuation");
        // Every byte list is a valid value when cut short, so one on a last
        // line without its line break may be a file truncated mid-value.
        if (!text.empty() && text.back() != '\n' && !lines.empty() &&
            lines.back().second.find("=hex") != std::string::npos)
            return fail(lines.back().first, "the file ends inside a value");
    }
    size_t i = 0;
    while (i < lines.size() && lines[i].second.empty()) ++i;
    std::string first = i < lines.size() ? lines[i].second : "";
    if (first.size() >= 3 && static_cast<unsigned char>(first[0]) == 0xEF) first = first.substr(3);
    if (first != kHeader) return fail(i + 1, "missing header");
    RegKeyValues* current = nullptr;
    for (++i; i < lines.size(); ++i) {
        const auto& [n, line] = lines[i];
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail(n, "bad key line");
            std::string path = line.substr(1, line.size() - 2);
            if (Lower(path.substr(0, 19)) != Lower(kRoot)) return fail(n, "key outside HKEY_LOCAL_MACHINE");
            current = &(*hive)[path.substr(19)];
            continue;
        }
        if (!current) return fail(n, "value outside a key");
        size_t pos = 0;
        std::string name;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, pos, &name)) {
            return fail(n, "bad value name");
        }
        if (pos >= line.size() || line[pos] != '=') return fail(n, "missing '='");
        ++pos;
        std::string rest = line.substr(pos);
        RegValue v;
        if (!rest.empty() && rest[0] == '"') {
            size_t p = 0;
            std::string s;
            if (!ParseQuoted(rest, p, &s) || p != rest.size()) return fail(n, "bad string");
            v.type = REG_SZ;
            v.data = Utf8ToRegSzBytes(s);
        } else if (rest.compare(0, 6, "dword:") == 0) {
            std::string hex = rest.substr(6);
            if (hex.size() != 8) return fail(n, "bad dword");
            uint32_t value = 0;
            for (char c : hex) {
                int d = HexDigit(c);
                if (d < 0) return fail(n, "bad dword");
                value = value << 4 | static_cast<uint32_t>(d);
            }
            v.type = REG_DWORD;
            v.data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        } else if (rest.compare(0, 4, "hex:") == 0) {
            v.type = REG_BINARY;
            if (!ParseHexList(rest.substr(4), &v.data)) return fail(n, "bad hex data");
        } else if (rest.compare(0, 4, "hex(") == 0) {
            size_t close = rest.find("):");
            if (close == std::string::npos || close == 4 || close > 12) return fail(n, "bad hex type");
            uint32_t type = 0;
            for (size_t k = 4; k < close; ++k) {
                int d = HexDigit(rest[k]);
                if (d < 0) return fail(n, "bad hex type");
                type = type << 4 | static_cast<uint32_t>(d);
            }
            v.type = type;
            if (!ParseHexList(rest.substr(close + 2), &v.data)) return fail(n, "bad hex data");
        } else {
            return fail(n, "unknown value format");
        }
        (*current)[name] = std::move(v);
    }
    return true;
}

uint32_t ReadRegistryExportFile(std::FILE* file, RegHive* hive) {
    constexpr size_t kMaxFileSize = 1 << 20;  // a settings file is a few lines
    hive->clear();
    if (!file) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    std::string text;
    char buf[4096];
    size_t n;
    bool tooBig = false;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) {
        text.append(buf, n);
        if (text.size() > kMaxFileSize) {
            tooBig = true;
            break;
        }
    }
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) return ERROR_ACCESS_DENIED;
    if (tooBig || !ParseRegistryExport(text, hive, nullptr)) return ERROR_BADDB;
    return ERROR_SUCCESS;
}

std::string FormatRegistryExport(const RegHive& hive) {
    std::string out = std::string(kHeader) + "\n";
    for (const auto& [path, values] : hive) {
        out += "\n[" + std::string(kRoot) + path + "]\n";
        for (const auto& [name, v] : values) {
            out += name.empty() ? std::string("@") : Quote(name);
            out += "=";
            if (v.type == REG_SZ) {
                out += Quote(RegSzBytesToUtf8(v.data.data(), v.data.size()));
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                uint32_t value = v.data[0] | v.data[1] << 8 | v.data[2] << 16 |
                                 static_cast<uint32_t>(v.data[3]) << 24;
                out += Format("dword:%08x", value);
            } else {
                out += v.type == REG_BINARY ? std::string("hex:") : Format("hex(%x):", v.type);
                for (size_t i = 0; i < v.data.size(); ++i) {
                    if (i) out += ",";
                    out += Format("%02x", v.data[i]);
                }
            }
            out += "\n";
        }
    }
    return out;
}

std::string RegSzBytesToUtf8(const uint8_t* data, size_t size) {
    std::u16string s;
    for (size_t i = 0; i + 1 < size; i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) break;
        s.push_back(c);
    }
    return Utf16ToUtf8(s);
}

std::vector<uint8_t> Utf8ToRegSzBytes(const std::string& text) {
    std::vector<uint8_t> out;
    for (char16_t c : Utf8ToUtf16(text)) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

bool CRegNameLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

// --- Shared value lookup -------------------------------------------------

static uint32_t QueryFrom(const RegKeyValues* values, const std::string& name, uint32_t* type,
                          uint8_t* data, uint32_t* size) {
    if (!values) return ERROR_FILE_NOT_FOUND;
    auto it = values->find(name);
    if (it == values->end()) return ERROR_FILE_NOT_FOUND;
    const RegValue& v = it->second;
    uint32_t capacity = size ? *size : 0;
    if (type) *type = v.type;
    if (size) *size = static_cast<uint32_t>(v.data.size());
    if (!data) return ERROR_SUCCESS;
    if (v.data.size() > capacity) return ERROR_MORE_DATA;
    std::copy(v.data.begin(), v.data.end(), data);
    return ERROR_SUCCESS;
}

// --- CFileRegistryStore --------------------------------------------------

CFileRegistryStore::CFileRegistryStore(std::string filePath) : m_strFilePath(std::move(filePath)) {}

uint32_t CFileRegistryStore::CreateKey(const std::string& path, uint32_t access, RegKey* key) {
    if (!key) return ERROR_INVALID_PARAMETER;
    *key = 0;
    RegHive hive;
    uint32_t r = Load(&hive);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return r;
    const bool readOnly = m_bReadOnlyOpen && (access & KEY_WRITE) != KEY_WRITE;
    if (!readOnly && hive.find(path) == hive.end()) {
        hive[path];
        if ((r = Store(hive)) != ERROR_SUCCESS) return r;
    }
    *key = m_nextKey++;
    m_openKeys[*key] = {path, access};
    return ERROR_SUCCESS;
}

uint32_t CFileRegistryStore::QueryValue(RegKey key, const std::string& name, uint32_t* type,
                                        uint8_t* data, uint32_t* size) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    RegHive hive;
    uint32_t r = Load(&hive);
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_FILE_NOT_FOUND;
    if (r != ERROR_SUCCESS) return r;
    auto k = hive.find(it->second.path);
    return QueryFrom(k == hive.end() ? nullptr : &k->second, name, type, data, size);
}

uint32_t CFileRegistryStore::SetValue(RegKey key, const std::string& name, uint32_t type,
                                      const uint8_t* data, uint32_t size) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    if ((it->second.access & KEY_WRITE) != KEY_WRITE) return ERROR_ACCESS_DENIED;
    RegHive hive;
    uint32_t r = Load(&hive);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return r;
    RegValue& v = hive[it->second.path][name];
    v.type = type;
    v.data.assign(data, data + size);
    return Store(hive);
}

uint32_t CFileRegistryStore::CloseKey(RegKey key) {
    return m_openKeys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// --- CUserRegistryStore ----------------------------------------------------

namespace {
// A file store that opening for reading never creates.
std::unique_ptr<CRegistryStore> ReadOnlyOpenFile(std::string path) {
    auto store = std::make_unique<CFileRegistryStore>(std::move(path));
    store->m_bReadOnlyOpen = true;
    return store;
}
}  // namespace

CUserRegistryStore::CUserRegistryStore(std::string machinePath, std::string userPath)
    : CUserRegistryStore(ReadOnlyOpenFile(std::move(machinePath)), ReadOnlyOpenFile(std::move(userPath)), false) {}

CUserRegistryStore::CUserRegistryStore(std::unique_ptr<CRegistryStore> machine, std::unique_ptr<CRegistryStore> user,
                                       bool machineFirst)
    : m_machine(std::move(machine)), m_user(std::move(user)), m_bMachineFirst(machineFirst) {}

uint32_t CUserRegistryStore::CreateKey(const std::string& path, uint32_t access, RegKey* key) {
    if (!key) return ERROR_INVALID_PARAMETER;
    *key = 0;
    OpenKey k;
    const bool write = (access & KEY_WRITE) == KEY_WRITE;
    // The machine's key for writing when Save goes there first; a user who
    // may not write it saves in their own.
    if (write && m_bMachineFirst && m_machine->CreateKey(path, access, &k.machine) == ERROR_SUCCESS && k.machine)
        k.machineWritable = true;
    // A machine-wide store that is corrupt is said so; one that is missing
    // or unreadable only means nothing is set there.
    uint32_t r = ERROR_SUCCESS;
    if (!k.machineWritable) {
        k.machine = 0;
        r = m_machine->CreateKey(path, KEY_READ, &k.machine);
        if (r != ERROR_SUCCESS && r != ERROR_ACCESS_DENIED && r != ERROR_FILE_NOT_FOUND) return r;
    }
    k.path = path;
    // The user's key for writing only when Save goes there: an
    // administrator's Save leaves no key of theirs behind.
    r = m_user->CreateKey(path, k.machineWritable ? KEY_READ : access, &k.user);
    const bool userNeeded = write && !k.machineWritable;
    if (r != ERROR_SUCCESS && (userNeeded || (r != ERROR_ACCESS_DENIED && r != ERROR_FILE_NOT_FOUND))) {
        if (k.machine) m_machine->CloseKey(k.machine);
        return r;
    }
    *key = m_nextKey++;
    m_openKeys[*key] = k;
    return ERROR_SUCCESS;
}

uint32_t CUserRegistryStore::QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                                        uint32_t* size) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    const uint32_t capacity = size ? *size : 0;
    uint32_t r = ERROR_FILE_NOT_FOUND;
    if (it->second.user) r = m_user->QueryValue(it->second.user, name, type, data, size);
    if (r == ERROR_FILE_NOT_FOUND && it->second.machine) {
        if (size) *size = capacity;
        r = m_machine->QueryValue(it->second.machine, name, type, data, size);
    }
    return r;
}

uint32_t CUserRegistryStore::SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                                      uint32_t size) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    const OpenKey& k = it->second;
    if (k.machineWritable) {
        const uint32_t r = m_machine->SetValue(k.machine, name, type, data, size);
        if (r == ERROR_SUCCESS) {
            // A value of the user's own would hide the one just saved.
            uint32_t userSize = 0;
            RegKey userKey = 0;
            if (!k.user || m_user->QueryValue(k.user, name, nullptr, nullptr, &userSize) != ERROR_SUCCESS) return r;
            uint32_t u = m_user->CreateKey(k.path, KEY_WRITE, &userKey);
            if (u == ERROR_SUCCESS && userKey) {
                u = m_user->SetValue(userKey, name, type, data, size);
                m_user->CloseKey(userKey);
            }
            return u;
        }
    }
    if (!k.user) return ERROR_ACCESS_DENIED;
    return m_user->SetValue(k.user, name, type, data, size);
}

uint32_t CUserRegistryStore::CloseKey(RegKey key) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    if (it->second.machine) m_machine->CloseKey(it->second.machine);
    if (it->second.user) m_user->CloseKey(it->second.user);
    m_openKeys.erase(it);
    return ERROR_SUCCESS;
}

// --- CMemoryRegistryStore ------------------------------------------------

uint32_t CMemoryRegistryStore::CreateKey(const std::string& path, uint32_t access, RegKey* key) {
    m_calls.push_back(Format("CreateKey(%s,0x%X)", path.c_str(), access));
    *key = 0;
    if (m_nCreateResult) return m_nCreateResult;
    if (m_nCreateWriteResult && (access & KEY_WRITE) == KEY_WRITE) return m_nCreateWriteResult;
    if (m_bNullHandle) return ERROR_SUCCESS;
    m_hive[path];
    *key = m_nextKey++;
    m_openKeys[*key] = path;
    return ERROR_SUCCESS;
}

uint32_t CMemoryRegistryStore::QueryValue(RegKey key, const std::string& name, uint32_t* type,
                                          uint8_t* data, uint32_t* size) {
    m_calls.push_back("QueryValue(" + name + ")");
    if (m_nQueryResult) return m_nQueryResult;
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    return QueryFrom(&m_hive[it->second], name, type, data, size);
}

uint32_t CMemoryRegistryStore::SetValue(RegKey key, const std::string& name, uint32_t type,
                                        const uint8_t* data, uint32_t size) {
    m_calls.push_back("SetValue(" + name + ")");
    if (m_nSetResult) return m_nSetResult;
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    RegValue& v = m_hive[it->second][name];
    v.type = type;
    v.data.assign(data, data + size);
    return ERROR_SUCCESS;
}

uint32_t CMemoryRegistryStore::CloseKey(RegKey key) {
    m_calls.push_back("CloseKey");
    m_openKeys.erase(key);
    return m_nCloseResult;
}

void CMemoryRegistryStore::PutString(const std::string& path, const std::string& name,
                                     const std::string& utf8) {
    m_hive[path][name] = {REG_SZ, Utf8ToRegSzBytes(utf8)};
}

void CMemoryRegistryStore::PutDword(const std::string& path, const std::string& name, uint32_t value) {
    m_hive[path][name] = {REG_DWORD,
                          {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                           static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

void CMemoryRegistryStore::PutRaw(const std::string& path, const std::string& name, uint32_t type,
                                  std::vector<uint8_t> data) {
    m_hive[path][name] = {type, std::move(data)};
}
