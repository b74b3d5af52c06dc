// Settings at start-up: registry first, then the command line.
//
// Choices of ours: an error code the system has no text for is shown as
// "Unknown error <code>."; a command-line address that would not fit the
// link's 260-character host field (259 characters and the terminator) is
// refused with a box and the registry's address stays in force, rather than
// being cut to an address nobody typed.
#include "app/Settings.h"

#include <cstring>

#include "platform/ErrorText.h"
#include "platform/Text.h"

using namespace win32;

namespace {
std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n' || s.back() == '\t'))
        s.pop_back();
    return s;
}

void ErrorBox(CMessageBox& box, const std::string& text, const std::string& caption) {
    box.Show(text, caption, EMessageKind::Error);
}

// Opens the settings key; a failure has had its box, and the key is 0.
RegKey OpenSettingsKey(CRegistryStore& registry, uint32_t access, CMessageBox& box) {
    RegKey key = 0;
    const uint32_t r = registry.CreateKey(SETTINGS_KEY_PATH, access, &key);
    if (r != ERROR_SUCCESS) {
        ReportRegistryError("RegCreateKeyEx()", r, box);
        return 0;
    }
    if (key == 0) ErrorBox(box, "hAppKey is NULL", "Registry Error");
    return key;
}
}  // namespace

void ReportRegistryError(std::string callName, uint32_t errorCode, CMessageBox& box) {
    std::string text = TrimRight(Format(" returned:%u, Meaning: %s", errorCode,
                                        SystemErrorText(errorCode).c_str()));
    ErrorBox(box, callName + text, "Registry Error");
}

uint32_t CTR52K_FlashFileLoaderSettings::LoadSettings() {
    const RegKey key = OpenSettingsKey(m_registry, KEY_READ, m_box);
    if (key == 0) return 0;
    uint32_t r = ERROR_SUCCESS;

    // NO_INIT_STATUS
    {
        uint8_t buf[4] = {0, 0, 0, 0};
        uint32_t type = REG_DWORD, size = 4;
        r = m_registry.QueryValue(key, "NO_INIT_STATUS", &type, buf, &size);
        uint32_t value = 0;
        if (r == ERROR_SUCCESS) {
            if (type != REG_DWORD || size != 4) {
                ErrorBox(m_box, Format("RegQueryValueEx() for REG_DWORD, Type = %u, Count = %u", type, size),
                         "Registry Error");
            }
            value = buf[0] | buf[1] << 8 | buf[2] << 16 | static_cast<uint32_t>(buf[3]) << 24;
        } else if (r != ERROR_FILE_NOT_FOUND) {
            ReportRegistryError("RegQueryValueEx()", r, m_box);
        }
        m_bNoInitStatus = value;
    }

    // ETHERNET_IP_ADDR: a 261-character buffer offered as 260 bytes.
    {
        uint8_t buf[261 * 2] = {};
        uint32_t type = REG_SZ, size = 260;
        r = m_registry.QueryValue(key, "ETHERNET_IP_ADDR", &type, buf, &size);
        if (r == ERROR_SUCCESS && type == REG_SZ && size < 261) {
            m_strTargetIp = RegSzBytesToUtf8(buf, size);
        } else if (r == ERROR_SUCCESS) {
            ErrorBox(m_box, Format("RegQueryValueEx() for REG_SZ: Type = %u, Count = %u", type, size),
                     "Registry Error");
            m_strTargetIp = DEFAULT_TARGET_IP;
        } else if (r == ERROR_FILE_NOT_FOUND) {
            m_strTargetIp = DEFAULT_TARGET_IP;
        } else {
            ReportRegistryError("RegQueryValueEx()", r, m_box);
        }
    }

    r = m_registry.CloseKey(key);
    if (r != ERROR_SUCCESS) {
        ReportRegistryError("RegCloseKey()", r, m_box);
        return 0;
    }
    return 1;
}

void CTR52K_FlashFileLoaderSettings::ApplyCommandLine(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // Positions and lengths count UTF-16 characters, as the settings'
        // wide strings do.
        std::u16string wide = Utf8ToUtf16(arg);
        if (arg.find("NO_INIT_STATUS=") != std::string::npos && wide.size() > 15 && wide[15] == u'1') {
            m_bNoInitStatus = 1;
        }
        if (arg.find("ETHERNET_IP_ADDR=") != std::string::npos && wide.size() > 24) {
            std::string value = arg.substr(arg.find('=') + 1);
            size_t chars = Utf16Length(value);
            if (chars > MAX_ADDRESS_CHARS) {
                ErrorBox(m_box,
                         Format("ETHERNET_IP_ADDR= value is %zu characters long; at most %zu are accepted. "
                                "The registry address stays in force.",
                                chars, MAX_ADDRESS_CHARS),
                         "Command Line Error");
                continue;
            }
            m_strTargetIp = value;
        }
    }
}

bool SettingsKeyWritable(CRegistryStore& registry) {
    RegKey key = 0;
    const uint32_t r = registry.CreateKey(SETTINGS_KEY_PATH, KEY_WRITE, &key);
    if (r != ERROR_SUCCESS || !key) return false;
    registry.CloseKey(key);
    return true;
}

uint32_t SaveTargetAddressToRegistry(CRegistryStore& registry, const std::string& address, CMessageBox& box) {
    const RegKey key = OpenSettingsKey(registry, KEY_WRITE, box);
    if (key == 0) return 0;
    const std::vector<uint8_t> data = Utf8ToRegSzBytes(address);
    uint32_t r = registry.SetValue(key, "ETHERNET_IP_ADDR", REG_SZ, data.data(), static_cast<uint32_t>(data.size()));
    if (r != ERROR_SUCCESS) ReportRegistryError("RegSetValueEx()", r, box);
    r = registry.CloseKey(key);
    if (r != ERROR_SUCCESS) {
        ReportRegistryError("RegCloseKey()", r, box);
        return 0;
    }
    return 1;
}
