#include "platform/CommandLine.h"

#include <cstdlib>

#include "platform/win32/WideText.h"

#include <shellapi.h>  // after windows.h, which it needs

CUtf8Arguments::CUtf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide) {
        for (int i = 0; i < count; ++i) m_args.push_back(win32_text::Narrow(wide[i]));
        ::LocalFree(wide);
    } else {
        m_args.assign(argv, argv + argc);  // no memory for the wide copy: the ANSI one
    }
    for (auto& a : m_args) m_pointers.push_back(a.data());
    m_pointers.push_back(nullptr);
}

std::string EnvironmentUtf8(const char* name) {
    const wchar_t* value = ::_wgetenv(win32_text::Widen(name).c_str());
    return value ? win32_text::Narrow(value) : "";
}
