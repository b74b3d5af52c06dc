// The registry on Windows: HKEY_LOCAL_MACHINE through the registry API, and
// the registry file for when TR52K_REGISTRY_FILE names one (a scratch setup,
// a machine where the user may not write HKEY_LOCAL_MACHINE).
#include "platform/Registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/win32/WideText.h"

using namespace win32;
using win32_text::Narrow;
using win32_text::Widen;

namespace {

std::string Environment(const wchar_t* name) {
    const wchar_t* value = ::_wgetenv(name);
    return value ? Narrow(value) : std::string();
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Both separators count; a drive ("C:") or a share root is where the
// climb ends.
bool MakeParentDirs(const std::wstring& path) {
    size_t slash = path.size();
    while (slash > 0 && !IsSeparator(path[slash - 1])) --slash;
    if (slash <= 1) return true;
    const std::wstring dir = path.substr(0, slash - 1);
    if (dir.empty() || (dir.size() == 2 && dir[1] == L':')) return true;
    const DWORD attributes = ::GetFileAttributesW(dir.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!MakeParentDirs(dir)) return false;
    return ::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}
}  // namespace

std::unique_ptr<CRegistryStore> MakeSettingsStore() {
    const std::string file = Environment(L"TR52K_REGISTRY_FILE");
    if (!file.empty()) return std::make_unique<CFileRegistryStore>(file);
    auto machine = std::make_unique<CWin32RegistryStore>(CWin32RegistryStore::ERoot::LocalMachine);
    auto user = std::make_unique<CWin32RegistryStore>(CWin32RegistryStore::ERoot::CurrentUser);
    machine->m_bReadOnlyOpen = true;
    user->m_bReadOnlyOpen = true;
    return std::make_unique<CUserRegistryStore>(std::move(machine), std::move(user), true);
}

std::string MachineRegistryPath() {
    const std::string env = Environment(L"TR52K_MACHINE_REGISTRY_FILE");
    if (!env.empty()) return env;
    std::string base = Environment(L"ProgramData");
    if (base.empty()) base = "C:\\ProgramData";
    return base + "\\Korvanex\\TR52K\\registry.reg";
}

std::string UserRegistryPath() {
    std::string base = Environment(L"APPDATA");
    if (base.empty()) base = ".";
    return base + "\\tr52k\\registry.reg";
}

// --- CWin32RegistryStore --------------------------------------------------

CWin32RegistryStore::~CWin32RegistryStore() {
    for (const auto& [id, h] : m_openKeys) ::RegCloseKey(static_cast<HKEY>(h));
}

uint32_t CWin32RegistryStore::CreateKey(const std::string& path, uint32_t access, RegKey* key) {
    if (!key) return ERROR_INVALID_PARAMETER;
    *key = 0;
    HKEY h = nullptr;
    DWORD disposition = 0;
    const HKEY root = m_root == ERoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    // The user's settings live under "Software", as that hive spells it.
    std::wstring wide = Widen(path);
    if (m_root == ERoot::CurrentUser && wide.compare(0, 9, L"SOFTWARE\\") == 0) wide.replace(0, 8, L"Software");
    const bool readOnly = m_bReadOnlyOpen && (access & KEY_WRITE) != KEY_WRITE;
    const LSTATUS r = readOnly ? ::RegOpenKeyExW(root, wide.c_str(), 0, access, &h)
                               : ::RegCreateKeyExW(root, wide.c_str(), 0, nullptr, 0, access, nullptr, &h,
                                                   &disposition);
    if (r != ERROR_SUCCESS) return static_cast<uint32_t>(r);
    if (!h) return ERROR_SUCCESS;  // the caller reports the null handle
    *key = m_nextKey++;
    m_openKeys[*key] = h;
    return ERROR_SUCCESS;
}

uint32_t CWin32RegistryStore::QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                                         uint32_t* size) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    DWORD t = type ? *type : 0, n = size ? *size : 0;
    const LSTATUS r = ::RegQueryValueExW(static_cast<HKEY>(it->second), Widen(name).c_str(), nullptr,
                                         type ? &t : nullptr, data, size ? &n : nullptr);
    if (type) *type = t;
    if (size) *size = n;
    return static_cast<uint32_t>(r);
}

uint32_t CWin32RegistryStore::SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                                       uint32_t size) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    return static_cast<uint32_t>(
        ::RegSetValueExW(static_cast<HKEY>(it->second), Widen(name).c_str(), 0, type, data, size));
}

uint32_t CWin32RegistryStore::CloseKey(RegKey key) {
    auto it = m_openKeys.find(key);
    if (it == m_openKeys.end()) return ERROR_INVALID_HANDLE;
    const LSTATUS r = ::RegCloseKey(static_cast<HKEY>(it->second));
    m_openKeys.erase(it);
    return static_cast<uint32_t>(r);
}

// --- CFileRegistryStore's file on Windows ----------------------------------

std::string CFileRegistryStore::DefaultPath() {
    const std::string env = Environment(L"TR52K_REGISTRY_FILE");
    return env.empty() ? MachineRegistryPath() : env;
}

uint32_t CFileRegistryStore::Load(RegHive* hive) const {
    return ReadRegistryExportFile(::_wfopen(Widen(m_strFilePath).c_str(), L"rb"), hive);
}

uint32_t CFileRegistryStore::Store(const RegHive& hive) const {
    const std::wstring path = Widen(m_strFilePath);
    if (!MakeParentDirs(path)) return ERROR_ACCESS_DENIED;
    const std::wstring tmp = path + L".tmp." + std::to_wstring(::GetCurrentProcessId());
    HANDLE h = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ERROR_ACCESS_DENIED;
    const std::string text = FormatRegistryExport(hive);
    DWORD written = 0;
    const bool ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && ::FlushFileBuffers(h);
    ::CloseHandle(h);
    // MOVEFILE_WRITE_THROUGH: the rename itself is on the disk when it returns.
    if (!ok || !::MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(tmp.c_str());
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}
