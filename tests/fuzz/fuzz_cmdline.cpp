// The command-line option rules on arbitrary arguments: no crash, and the
// address taken is always one that fits the link's field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "platform/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"tr52k-flash-loader"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    CMemoryRegistryStore registry;
    CRecordingMessageBox boxes;
    CTR52K_FlashFileLoaderSettings settings(registry, boxes);
    settings.m_strTargetIp = "192.168.1.100";
    settings.ApplyCommandLine(args);
    if (Utf16Length(settings.m_strTargetIp) > MAX_ADDRESS_CHARS) std::abort();
    if (settings.m_bNoInitStatus > 1) std::abort();
    return 0;
}
