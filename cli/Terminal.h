// Whether a standard stream is a terminal the user watches, a console that
// shows what the tool prints, and file names the system can hold.
// Header-only, beside the program.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>

#include "platform/Win32Types.h"
#else
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
// unit's texts, which are printed escaped anyway.
inline void PrepareConsole() {
    ::SetConsoleOutputCP(CP_UTF8);
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE h = ::GetStdHandle(which);
        DWORD mode = 0;
        if (h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode))
            ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}
#else
inline bool IsTerminal(std::FILE* stream) {
    const int fd = fileno(stream);
    return fd >= 0 && ::isatty(fd);
}

inline void PrepareConsole() {}
#endif

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
