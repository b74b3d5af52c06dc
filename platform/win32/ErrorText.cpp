// System error texts from the system itself: FormatMessageW, which the
// registry error box shows.
#include "platform/ErrorText.h"

#include "platform/Text.h"
#include "platform/win32/WideText.h"

std::string SystemErrorText(uint32_t code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                     reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (n == 0 || !text) {
        if (text) ::LocalFree(text);
        return Format("Unknown error %u.\r\n", code);
    }
    std::string utf8 = win32_text::Narrow(std::wstring(text, n));
    ::LocalFree(text);
    return utf8;
}
