// The registry file parser takes any bytes: it accepts or refuses, and
// what it accepts is written back and parsed to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    RegHive hive;
    std::string error;
    if (!ParseRegistryExport(text, &hive, &error)) return 0;
    RegHive again;
    if (!ParseRegistryExport(FormatRegistryExport(hive), &again, &error)) std::abort();
    for (const auto& [key, values] : hive)
        for (const auto& [name, v] : values) {
            const RegValue& w = again.at(key).at(name);
            // Strings are stored as text and come back as UTF-16 of that text.
            if (v.type != win32::REG_SZ && (w.type != v.type || w.data != v.data)) std::abort();
        }
    return 0;
}
