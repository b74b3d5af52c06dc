// UTF-8 <-> UTF-16 at the edge of the wide Windows APIs, and what a path
// names before it is opened. Private to the Windows platform layer.
#pragma once

#include <string>

#include "platform/Text.h"
#include "platform/Win32Types.h"

namespace win32_text {

inline std::wstring Widen(const std::string& utf8) {
    const std::u16string w = Utf8ToUtf16(utf8);
    return std::wstring(w.begin(), w.end());
}

inline std::string Narrow(const std::wstring& wide) {
    return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

// What the path names when that is not a regular file, found without
// opening it: "a folder", or "a device" for a name in the device namespace
// (NUL, COM1, CON, \\.\pipe\...), which the system resolves to \\.\NAME.
// Empty otherwise; opening then says the rest.
inline std::string KindBeforeOpen(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "a folder";
    wchar_t full[1024];
    const DWORD n = ::GetFullPathNameW(path.c_str(), 1024, full, nullptr);
    if (n > 4 && n < 1024 && full[0] == L'\\' && full[1] == L'\\' && full[2] == L'.' && full[3] == L'\\')
        return "a device";
    return "";
}

// The kind of an open handle: "" for a file on a disk.
inline std::string KindOfHandle(HANDLE h) {
    switch (::GetFileType(h)) {
        case FILE_TYPE_DISK: {
            BY_HANDLE_FILE_INFORMATION info;
            if (::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                return "a folder";
            return "";
        }
        case FILE_TYPE_CHAR: return "a character device";
        case FILE_TYPE_PIPE: return "a named pipe";
        default: return "not a regular file";
    }
}

}  // namespace win32_text
