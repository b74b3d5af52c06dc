// Whether a standard stream is a terminal the user watches, a console that
// shows what the tool prints, and file names the system can hold.
// Header-only, beside the program.
#pragma once

#include <cstdio>
#include <string>

#include "cli/OutputText.h"

#ifdef _WIN32
#include <io.h>

#include "platform/Win32Types.h"
// After windows.h.
#include <tlhelp32.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace tty {

#ifdef _WIN32
// _isatty() is also true for NUL and serial ports; only a console answers
// GetConsoleMode().
inline bool IsTerminal(std::FILE* stream) {
    const int fd = _fileno(stream);
    if (fd < 0 || !_isatty(fd)) return false;
    DWORD mode = 0;
    return ::GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}

// The tool prints UTF-8; the console shows it as such. The progress bar
// redraws with a carriage return only, which every console understands;
// escape sequences are switched on where the console has them, for the
// unit's texts, which are printed escaped anyway. The console is shared
// with the shell that started the tool: what was changed is put back when
// the object ends (at the end of main).
class CConsoleSetup {
public:
    CConsoleSetup() : m_outputCp(::GetConsoleOutputCP()) {
        if (m_outputCp) ::SetConsoleOutputCP(CP_UTF8);
        for (int i = 0; i < 2; ++i) {
            HANDLE h = ::GetStdHandle(i ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
            DWORD mode = 0;
            if (h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) &&
                ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
                m_modes[i] = {h, mode, true};
        }
    }
    ~CConsoleSetup() {
        std::fflush(stdout);
        std::fflush(stderr);
        for (const Mode& m : m_modes)
            if (m.changed) ::SetConsoleMode(m.handle, m.mode);
        if (m_outputCp) ::SetConsoleOutputCP(m_outputCp);
    }
    CConsoleSetup(const CConsoleSetup&) = delete;
    CConsoleSetup& operator=(const CConsoleSetup&) = delete;

private:
    struct Mode {
        HANDLE handle = nullptr;
        DWORD mode = 0;
        bool changed = false;
    };
    UINT m_outputCp;  // 0: no console
    Mode m_modes[2];
};

// The console window's width in columns; 0 when it is not a console.
inline int ConsoleColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    const int fd = _fileno(stream);
    if (fd < 0 || !::GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

// The shell that started the tool, by its program's name: PowerShell
// (powershell.exe, pwsh.exe) or else cmd.exe.
inline output_text::EShell ParentShell() {
    const DWORD self = ::GetCurrentProcessId();
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return output_text::EShell::Cmd;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
    output_text::EShell shell = output_text::EShell::Cmd;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); parent && more; more = ::Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == parent && (::_wcsicmp(entry.szExeFile, L"powershell.exe") == 0 ||
                                             ::_wcsicmp(entry.szExeFile, L"pwsh.exe") == 0))
            shell = output_text::EShell::PowerShell;
    ::CloseHandle(snapshot);
    return shell;
}
#else
inline bool IsTerminal(std::FILE* stream) {
    const int fd = fileno(stream);
    return fd >= 0 && ::isatty(fd);
}

class CConsoleSetup {};

inline int ConsoleColumns(std::FILE* stream) {
    winsize size{};
    const int fd = fileno(stream);
    if (fd < 0 || ::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

inline output_text::EShell ParentShell() { return output_text::EShell::Posix; }
#endif

// How wide a line on this terminal may be: its width, or 80 columns when it
// does not say.
inline int TerminalColumns(std::FILE* stream) {
    const int columns = ConsoleColumns(stream);
    return columns > 0 ? columns : 80;
}

// A unit's name as part of a file name. On Windows a ':' there would name
// a stream hidden inside another file, where nobody finds the trace.
inline std::string FileNamePart(std::string unit) {
#ifdef _WIN32
    for (char& c : unit)
        if (c == ':') c = '_';
#endif
    return unit;
}

}  // namespace tty
