// The tr52k-sim program as a child process with its stdout on a pipe;
// killed on destruction if still running. What it says on stderr (a
// refused second client, say) is kept and shown only if the test failed.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

struct SimProcess {
    pid_t pid = -1;
    FILE* out = nullptr;
    std::string errPath = (std::filesystem::temp_directory_path() / "tr52k-sim-stderr-XXXXXX").string();

    explicit SimProcess(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        const int err = ::mkostemp(errPath.data(), O_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), TR52K_SIM_BINARY);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, TR52K_SIM_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (err >= 0) ::close(err);
        out = ::fdopen(fds[0], "r");
    }
    ~SimProcess() {
        if (pid > 0) Stop(SIGKILL);
        if (out) std::fclose(out);
        std::ifstream err(errPath);
        const std::string text{std::istreambuf_iterator<char>(err), {}};
        if (!text.empty() && ::testing::Test::HasFailure()) std::fprintf(stderr, "--- tr52k-sim said:\n%s---\n", text.c_str());
        std::error_code ignored;
        std::filesystem::remove(errPath, ignored);
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
