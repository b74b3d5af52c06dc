// The tr52k-sim program as a child process with its stdout on a pipe;
// killed on destruction if still running.
#pragma once

#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

struct SimProcess {
    pid_t pid = -1;
    FILE* out = nullptr;

    explicit SimProcess(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), TR52K_SIM_BINARY);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, TR52K_SIM_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out = ::fdopen(fds[0], "r");
    }
    ~SimProcess() {
        if (pid > 0) Stop(SIGKILL);
        if (out) std::fclose(out);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    std::string Line() {
        char buf[256];
        return out && std::fgets(buf, sizeof buf, out) ? std::string(buf) : std::string();
    }
    // The port from the "listening on" line; 0 when the program did not start.
    uint16_t Port() {
        unsigned p = 0;
        return std::sscanf(Line().c_str(), "listening on 127.0.0.1:%u", &p) == 1 ? static_cast<uint16_t>(p) : 0;
    }
    // Sends the signal (none: waits for the program to end by itself);
    // returns the exit status, or 128 + the signal that ended it.
    int Stop(int signal) {
        if (signal) ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};
