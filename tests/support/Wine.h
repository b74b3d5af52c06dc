// Whether a Windows test program runs under Wine, whose sockets and system
// texts differ from Windows' in a few documented places.
#pragma once

#ifdef _WIN32
#include "platform/Win32Types.h"

inline bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}
#else
inline bool RunningUnderWine() { return false; }
#endif
