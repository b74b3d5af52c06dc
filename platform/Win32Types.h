// Numeric values of the Windows constants that the loader's logic and its
// texts are built around. They stay numeric so that messages such as
// "RegCreateKeyEx() returned:5" read exactly as on the original platform.
#pragma once

#include <cstdint>

namespace win32 {

// Error codes (GetLastError / registry results).
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t ERROR_BADDB = 1009;           // registry file corrupt
constexpr uint32_t ERROR_CANTWRITE = 1013;       // registry file not writable

// Registry value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

// Registry access masks.
constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_WRITE = 0x20006;

// Message box styles and results.
constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

}  // namespace win32
