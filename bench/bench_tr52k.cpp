// Every figure in one run, against simulators on loopback, printed as one
// table: the Ping round trip; a 768 KiB DSP upload (6,144 acknowledged blocks
// of 128 bytes) through our link beside a reference link that sleeps a blind
// 1 ms whenever no byte is waiting, and beside the round-trip floor (blocks
// x Ping); the same with the simulator in a process of its own, as a unit
// is a machine of its own; and three units programmed with one EEPROM image
// one after another and all at once. Asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/SimServer.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The reference: the same link, but an empty receive sleeps 1 ms blindly.
class CBlindSleepLink : public CNetworkDeviceComm {
public:
    using CNetworkDeviceComm::CNetworkDeviceComm;
    uint32_t ReadByte(uint8_t* byte) override {
        ssize_t r = ::recv(SocketHandle(), byte, 1, MSG_DONTWAIT);
        if (r == 1) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    }
};

const int kBlocks = 6144;

double UploadSeconds(CTR52K1_Comm& comm, int* failures) {
    std::vector<uint8_t> block(128);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
    auto t0 = Clock::now();
    comm.StartDSP_Flash(0);
    for (int i = 0; i < kBlocks; ++i)
        if (!comm.WriteDSP_FlashBlock(0, block.data(), 128)) ++*failures;
    comm.FinishDSP_Flash(0);
    return Since(t0);
}

struct LinkFigures {
    double ping = 0, ours = 0, blind = 0;
    int failures = 0;
};

LinkFigures MeasureLink(uint16_t port, int pings) {
    LinkFigures f;
    {
        CNetworkDeviceComm link("127.0.0.1", port);
        CTR52K1_Comm comm(&link);
        auto t0 = Clock::now();
        for (int i = 0; i < pings; ++i)
            if (!comm.Ping()) ++f.failures;
        f.ping = Since(t0) / pings;
        f.ours = UploadSeconds(comm, &f.failures);
    }
    CBlindSleepLink link("127.0.0.1", port);
    CTR52K1_Comm comm(&link);
    f.blind = UploadSeconds(comm, &f.failures);
    return f;
}

// tr52k-sim as a process of its own; port read from its first line.
struct SimProcess {
    pid_t pid = -1;
    uint16_t port = 0;
    SimProcess() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t a;
        posix_spawn_file_actions_init(&a);
        posix_spawn_file_actions_adddup2(&a, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&a, fds[0]);
        char* argv[] = {const_cast<char*>(TR52K_SIM_BINARY), const_cast<char*>("--port"), const_cast<char*>("0"),
                        nullptr};
        if (posix_spawn(&pid, TR52K_SIM_BINARY, &a, nullptr, argv, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&a);
        ::close(fds[1]);
        FILE* out = ::fdopen(fds[0], "r");
        unsigned p = 0;
        char line[128];
        if (out && std::fgets(line, sizeof line, out) && std::sscanf(line, "listening on 127.0.0.1:%u", &p) == 1)
            port = static_cast<uint16_t>(p);
        if (out) std::fclose(out);
    }
    ~SimProcess() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

double RunTool(const std::string& args, bool* ok) {
    auto t0 = Clock::now();
    std::string cmd = std::string(TR52K_CLI_BINARY) + " --yes --quiet " + args + " >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    double s = Since(t0);
    if (rc != 0) {
        std::fprintf(stderr, "run failed (%d): %s\n", rc, cmd.c_str());
        *ok = false;
    }
    return s;
}

void Row(const char* figure, double value, const char* unit, const std::string& note = "") {
    std::printf("%-52s %10.3f %-3s %s\n", figure, value, unit, note.c_str());
}
std::string Target(double ratio, bool atMost, double limit) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "(target %s %g: %s)", atMost ? "<=" : ">=", limit,
                  (atMost ? ratio <= limit : ratio >= limit) ? "met" : "missed");
    return buf;
}
}  // namespace

int main(int argc, char** argv) {
    const int pings = argc > 1 ? std::atoi(argv[1]) : 2000;
    // The tool it runs reads its settings from a file of the benchmark's own
    // naming a unit on loopback, never the saved address of a real unit.
    char settingsDir[] = "/tmp/tr52k-bench-XXXXXX";
    if (::mkdtemp(settingsDir)) {
        const std::string file = std::string(settingsDir) + "/registry.reg";
        if (std::FILE* f = std::fopen(file.c_str(), "w")) {
            std::fputs("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n"
                       "\"ETHERNET_IP_ADDR\"=\"127.0.0.1\"\n",
                       f);
            std::fclose(f);
        }
        ::setenv("TR52K_REGISTRY_FILE", file.c_str(), 1);
        ::setenv("TR52K_HISTORY_FILE", (std::string(settingsDir) + "/history.jsonl").c_str(), 1);
    }
    CCapturingDebugSink quiet;
    SetDebugSink(&quiet);
    bool ok = true;

    std::printf("%-52s %10s\n", "figure", "value");
    auto linkRows = [&](const char* where, const LinkFigures& f) {
        const double floor = kBlocks * f.ping;
        std::printf("-- link, simulator %s\n", where);
        Row("mean Ping round trip", f.ping * 1e6, "us");
        Row("6144 x 128-byte DSP blocks, our link", f.ours, "s");
        Row("6144 x 128-byte DSP blocks, blind 1 ms sleep", f.blind, "s");
        Row("round-trip floor (blocks x Ping)", floor, "s");
        Row("ours / floor", f.ours / floor, "x", Target(f.ours / floor, true, 1.5));
        Row("blind sleep / ours", f.blind / f.ours, "x", Target(f.blind / f.ours, false, 20));
        if (f.failures) {
            std::printf("%-52s %10d\n", "failed exchanges", f.failures);
            ok = false;
        }
    };
    {
        CUnitSimulator unit;
        CSimServer server(unit);
        if (!server.Start(0)) return std::fprintf(stderr, "cannot start the simulator\n"), 1;
        linkRows("in this process", MeasureLink(server.Port(), pings));
    }
    {
        SimProcess sim;
        if (!sim.port) return std::fprintf(stderr, "cannot start %s\n", TR52K_SIM_BINARY), 1;
        linkRows("in its own process", MeasureLink(sim.port, pings));
    }
    SetDebugSink(nullptr);

    // Three units, one 64 KiB EEPROM image, through the command-line tool.
    const std::string image = "/tmp/tr52K_bench_" + std::to_string(::getpid()) + ".bin";
    {
        std::ofstream f(image, std::ios::binary);
        for (int i = 0; i < 64 * 1024; ++i) f.put(static_cast<char>(i * 7));
    }
    CUnitSimulator units[3];
    std::vector<std::unique_ptr<CSimServer>> servers;
    std::string all;
    std::vector<std::string> one;
    for (auto& u : units) {
        u.m_eraseMs = 500;
        u.m_pageWriteMs = 1;
        servers.push_back(std::make_unique<CSimServer>(u));
        servers.back()->Start(0);
        one.push_back("-t 127.0.0.1:" + std::to_string(servers.back()->Port()));
        all += " " + one.back();
    }
    double sum = 0, slowest = 0;
    std::printf("-- EEPROM update, 64 KiB image, erase 500 ms, page 1 ms\n");
    for (int i = 0; i < 3; ++i) {
        double s = RunTool(one[i] + " program-eeprom 5 " + image, &ok);
        sum += s;
        slowest = std::max(slowest, s);
        std::string label = "unit " + std::to_string(i + 1) + " alone";
        Row(label.c_str(), s, "s");
    }
    const double parallel = RunTool(all + " program-eeprom 6 " + image, &ok);
    for (auto& s : servers) s->Stop();
    std::remove(image.c_str());
    Row("one after another (sum)", sum, "s");
    Row("all three at once", parallel, "s");
    Row("parallel / slowest single", parallel / slowest, "x");
    Row("sequential / parallel", sum / parallel, "x");
    return ok ? 0 : 1;
}
