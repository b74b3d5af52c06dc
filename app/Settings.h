// The loader's two persistent settings: the unit's address and the
// NO_INIT_STATUS switch, kept under HKLM\SOFTWARE\Korvanex\TR52K and
// overridable for one run from the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/Registry.h"

constexpr const char* SETTINGS_KEY_PATH = "SOFTWARE\\Korvanex\\TR52K";
constexpr const char* DEFAULT_TARGET_IP = "192.168.1.100";
constexpr uint16_t TR52K_PORT = 5000;

// Shows "<call> returned:<code>, Meaning: <system text>" in a
// "Registry Error" box.
void ReportRegistryError(std::string callName, uint32_t errorCode,
                         CMessageBox& box = GetMessageBox());

// The setting members of the application object and the two operations
// that fill them at start-up.
class CTR52K_FlashFileLoaderSettings {
public:
    CTR52K_FlashFileLoaderSettings(CRegistryStore& registry, CMessageBox& box = GetMessageBox())
        : m_registry(registry), m_box(box) {}

    // TRUE (1) when the key was opened, read and closed without a failure
    // of the open or close calls.
    uint32_t LoadSettings();
    // `args` is the whole argument vector, program name first.
    void ApplyCommandLine(const std::vector<std::string>& args);

    uint32_t m_bNoInitStatus = 0;
    std::string m_strTargetIp;
    uint16_t m_nTargetPort = TR52K_PORT;

private:
    CRegistryStore& m_registry;
    CMessageBox& m_box;
};

// Whether the settings key can be opened for writing now (nothing is written).
bool SettingsKeyWritable(CRegistryStore& registry);
// Writes the address as the REG_SZ "ETHERNET_IP_ADDR" (the dialog's Save).
// Returns 1 unless the key could not be opened or closed.
uint32_t SaveTargetAddressToRegistry(CRegistryStore& registry, const std::string& address,
                                     CMessageBox& box = GetMessageBox());
