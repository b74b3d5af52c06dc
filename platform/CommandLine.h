// The program's arguments in UTF-8, like every other text of the loader.
// On Windows the argv that main() gets is in the ANSI code page, which
// cannot hold every file name, so the arguments come from the wide command
// line instead (GetCommandLineW, CommandLineToArgvW). On POSIX they are
// argv as it is.
#pragma once

#include <string>
#include <vector>

class CUtf8Arguments {
public:
    CUtf8Arguments(int argc, char** argv);
    CUtf8Arguments(const CUtf8Arguments&) = delete;
    CUtf8Arguments& operator=(const CUtf8Arguments&) = delete;

    // For parsers that take main()'s arguments; valid while this lives.
    int Argc() const { return static_cast<int>(m_args.size()); }
    char** Argv() { return m_pointers.data(); }
    const std::vector<std::string>& Args() const { return m_args; }

private:
    std::vector<std::string> m_args;
    std::vector<char*> m_pointers;
};

// An environment variable's value in UTF-8, empty when it is not set (on
// Windows read wide, for the same reason as the arguments).
std::string EnvironmentUtf8(const char* name);
