// Numeric values of the Windows constants that the loader's logic and its
// texts are built around. They stay numeric so that messages such as
// "RegCreateKeyEx() returned:5" read the same on every platform.
//
// On Windows the system headers define these names as macros. They are
// included first here, so any file may include both in any order, and only
// what they lack is defined below. Code therefore names the constants
// unqualified (with `using namespace win32;`): a qualified win32::IDOK would
// read win32::1 there.
#pragma once

#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#endif

namespace win32 {

// Error codes (GetLastError / registry results).
#ifndef ERROR_SUCCESS
constexpr uint32_t ERROR_SUCCESS = 0;
#endif
#ifndef ERROR_FILE_NOT_FOUND
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
#endif
#ifndef ERROR_PATH_NOT_FOUND
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
#endif
#ifndef ERROR_ACCESS_DENIED
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
#endif
#ifndef ERROR_INVALID_HANDLE
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
#endif
#ifndef ERROR_INVALID_PARAMETER
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
#endif
#ifndef ERROR_MORE_DATA
constexpr uint32_t ERROR_MORE_DATA = 234;
#endif
#ifndef ERROR_BADDB
constexpr uint32_t ERROR_BADDB = 1009;           // registry file corrupt
#endif
#ifndef ERROR_CANTWRITE
constexpr uint32_t ERROR_CANTWRITE = 1013;       // registry file not writable
#endif

// Registry value types.
#ifndef REG_NONE
constexpr uint32_t REG_NONE = 0;
#endif
#ifndef REG_SZ
constexpr uint32_t REG_SZ = 1;
#endif
#ifndef REG_BINARY
constexpr uint32_t REG_BINARY = 3;
#endif
#ifndef REG_DWORD
constexpr uint32_t REG_DWORD = 4;
#endif

// Registry access masks.
#ifndef KEY_READ
constexpr uint32_t KEY_READ = 0x20019;
#endif
#ifndef KEY_WRITE
constexpr uint32_t KEY_WRITE = 0x20006;
#endif

// Message box styles and results.
#ifndef MB_OK
constexpr uint32_t MB_OK = 0x0;
#endif
#ifndef MB_ICONERROR
constexpr uint32_t MB_ICONERROR = 0x10;
#endif
#ifndef MB_ICONEXCLAMATION
constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
#endif
#ifndef IDOK
constexpr int IDOK = 1;
#endif
#ifndef IDCANCEL
constexpr int IDCANCEL = 2;
#endif

}  // namespace win32
