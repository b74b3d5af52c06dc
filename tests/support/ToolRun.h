// Runs a shell command line (the built programs) and keeps its exit code,
// its standard output and how long it took.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/wait.h>

struct ToolRun {
    int code = -1;  // -1: ended by a signal
    std::string out;
    double seconds = 0;
};

inline ToolRun RunCommand(const std::string& command) {
    ToolRun r;
    const auto t0 = std::chrono::steady_clock::now();
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int status = ::pclose(p);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// One shell word, whatever the argument holds.
inline std::string ShellQuoted(const std::string& arg) {
    std::string q = "'";
    for (char ch : arg) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}
