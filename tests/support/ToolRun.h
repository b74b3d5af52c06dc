// Runs a shell command line (the built programs) and keeps its exit code,
// its standard output and how long it took; or runs a program whose output
// has gone away.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

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

// The built tr52k program with these arguments (one shell line): its errors
// in its output too, and nothing on its input.
inline ToolRun Tr52k(const std::string& args) {
    return RunCommand(std::string(TR52K_CLI_BINARY) + " " + args + " 2>&1 </dev/null");
}

// One shell word, whatever the argument holds.
inline std::string ShellQuoted(const std::string& arg) {
    std::string q = "'";
    for (char ch : arg) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

// Runs the program with its standard output and error on a pipe whose
// reading end is already closed, as when the reader went away, and with
// SIGPIPE at its default action whatever the test runner set, so a write
// there kills the program unless it guards itself. Standard input is
// /dev/null. Returns the exit status, or 128 + the signal that ended it.
inline int RunWithOutputGone(std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    ::close(fds[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipeSignal);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const bool started = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (!started) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
