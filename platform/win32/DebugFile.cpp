// The trace file and the default trace destination on Windows: the
// debugger output, where the traces belong on Windows.
#include "platform/DebugOutput.h"

#include <algorithm>

#include "platform/win32/WideText.h"

using win32_text::KindBeforeOpen;
using win32_text::KindOfHandle;
using win32_text::Widen;

namespace {
class CDebuggerSink : public CDebugSink {
public:
    void Write(std::string_view text) override { ::OutputDebugStringW(Widen(std::string(text)).c_str()); }
};
}  // namespace

CDebugSink& PlatformDebugSink() {
    static CDebuggerSink sink;
    return sink;
}

CFileDebugSink::CFileDebugSink(const std::string& path) {
    const std::wstring wide = Widen(path);
    if (!KindBeforeOpen(wide).empty()) return;
    // FILE_APPEND_DATA alone: every write lands at the end, as O_APPEND.
    HANDLE h = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    if (!KindOfHandle(h).empty()) {
        ::CloseHandle(h);
        return;
    }
    m_hFile = reinterpret_cast<intptr_t>(h);
}

CFileDebugSink::~CFileDebugSink() {
    if (m_hFile != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_hFile));
}

void CFileDebugSink::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t done = 0;
    while (m_hFile != -1 && done < text.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
        if (!::WriteFile(reinterpret_cast<HANDLE>(m_hFile), text.data() + done, chunk, &written, nullptr) ||
            written == 0)
            break;  // a full disk loses trace lines, never the update
        done += written;
    }
}
