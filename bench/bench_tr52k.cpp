// Every figure in one run against simulators on loopback, printed as one
// table, each beside its floor and target:
//  - a 768 KiB DSP upload (6,144 acknowledged blocks of 128 bytes) against
//    the round-trip floor: blocks x the median of many single-block
//    exchanges measured in the same run;
//  - a 1 MiB configuration EEPROM image, at the dialog's rhythm and unpaced,
//    against the page floor: pages x the median single-page exchange;
//  - 32 units updated at once by the command-line tool against one alone,
//    and the tool's peak memory doing it;
//  - the idle dialog's share of a core over 10 s, under Xvfb.
// Each row says met or missed; the run exits 0 either way. Loopback figures:
// a real unit's own time adds to both sides.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/SimServer.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct CRow {
    std::string figure;
    double ours = 0, floor = 0;  // seconds, or the row's own unit
    std::string unit, target;
    bool met = false, measured = true;
};
std::vector<CRow> g_rows;

void Add(const std::string& figure, double ours, double floor, const std::string& unit, double limit, bool atMost,
         const std::string& floorName = "floor") {
    CRow r;
    r.figure = figure;
    r.ours = ours;
    r.floor = floor;
    r.unit = unit;
    const double ratio = floor > 0 ? ours / floor : 0;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s %s %.2fx", floorName.c_str(), atMost ? "<=" : ">=", limit);
    r.target = buf;
    r.met = floor > 0 && (atMost ? ratio <= limit : ratio >= limit);
    g_rows.push_back(r);
}

void Missing(const std::string& figure, const std::string& why) {
    CRow r;
    r.figure = figure;
    r.target = why;
    r.measured = false;
    g_rows.push_back(r);
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct CServedUnit {
    CUnitSimulator unit;
    CSimServer server{unit};
    CServedUnit() {
        unit.m_eraseMs = 50;
        server.Start(0);
    }
};

// The DSP upload and its floor, over one connection.
void DspRows(int samples) {
    CServedUnit u;
    CNetworkDeviceComm link("127.0.0.1", u.server.Port());
    CTR52K1_Comm comm(&link);
    std::vector<uint8_t> block(DSP_BLOCK_MAX, 0x5A);
    std::vector<double> one;
    comm.StartDSP_Flash(0);
    for (int i = 0; i < samples; ++i) {
        const auto t0 = Clock::now();
        comm.WriteDSP_FlashBlock(0, block.data(), DSP_BLOCK_MAX);
        one.push_back(Since(t0));
    }
    comm.FinishDSP_Flash(0);
    const int blocks = static_cast<int>(DSP_IMAGE_MAX / DSP_BLOCK_MAX);
    const auto t0 = Clock::now();
    comm.StartDSP_Flash(0);
    int failures = 0;
    for (int i = 0; i < blocks; ++i)
        if (!comm.WriteDSP_FlashBlock(0, block.data(), DSP_BLOCK_MAX)) ++failures;
    comm.FinishDSP_Flash(0);
    const double ours = Since(t0);
    Add("DSP upload, 768 KiB (6,144 blocks)", ours, blocks * Median(one), "s", 1.2, true, "round-trip floor");
    if (failures) Missing("DSP upload", std::to_string(failures) + " blocks not acknowledged");
}

// Times the programming stage of an EEPROM update: from the first page to
// the select.
class CStageTimer : public CNoProgress {
public:
    void OnStage(EUpdateStage stage, uint32_t) override {
        if (stage == EUpdateStage::Program) m_start = Clock::now();
        if (stage == EUpdateStage::Select) m_seconds = Since(m_start);
    }
    double m_seconds = 0;

private:
    Clock::time_point m_start;
};

void EepromRows(const std::string& image, int samples) {
    CServedUnit u;
    CNetworkDeviceComm link("127.0.0.1", u.server.Port());
    CTR52K1_Comm comm(&link);
    std::vector<uint8_t> page(EEPROM_PAGE_SIZE, 0x3C);
    std::vector<double> one;
    for (int i = 0; i < samples; ++i) {
        const auto t0 = Clock::now();
        comm.WriteFPGA_ConfigEEPROM_Page(9, static_cast<uint32_t>(i % 4096) * EEPROM_PAGE_SIZE, page.data());
        one.push_back(Since(t0));
    }
    const double pageFloor = Median(one);

    double seconds[2] = {0, 0};
    uint32_t pages = 0;
    for (int paced = 0; paced < 2; ++paced) {
        CTickerFlags flags;
        CEepromUpdate update(comm, flags);
        CStageTimer timer;
        CCapturingDebugSink quiet;
        if (update.Load(paced ? 7 : 8, image, timer).result != EUpdateResult::InProgress) {
            Missing("EEPROM update", "the update did not start");
            return;
        }
        paced ? update.RunPaced(&quiet) : update.RunUnpaced();
        pages = update.Outcome().pagesAcknowledged;
        if (update.Outcome().pagesAcknowledged != update.Outcome().pagesTotal)
            Missing("EEPROM update", "not every page was acknowledged");
        seconds[paced] = timer.m_seconds;
    }
    const double floor = pages * pageFloor;
    Add("EEPROM 1 MiB pages, unpaced", seconds[0], floor, "s", 1.2, true, "page floor");
    Add("EEPROM 1 MiB pages, dialog's rhythm", seconds[1], floor, "s", 0, false, "page floor");
    g_rows.back().target = "(for comparison)";
    g_rows.back().met = true;
    Add("EEPROM paced / unpaced", seconds[1], seconds[0], "s", 2.0, false, "unpaced");
}

// A program run in the background; its peak memory when it has ended.
struct CChild {
    pid_t pid = -1;
    explicit CChild(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    // Exit code and peak RSS in KiB. The peak is the process's own high-water
    // mark (VmHWM), sampled until it exits: wait4's ru_maxrss would count
    // the benchmark's own memory, which the child inherits at fork.
    int Wait(long* maxRssKiB = nullptr) {
        if (pid <= 0) return -1;
        int status = 0;
        long peak = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            std::ifstream f("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(f, line);)
                if (line.rfind("VmHWM:", 0) == 0) peak = std::max(peak, std::atol(line.c_str() + 6));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid = -1;
        if (maxRssKiB) *maxRssKiB = peak;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~CChild() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

void RackRows(const std::string& image) {
    const int kUnits = 32;
    std::vector<std::unique_ptr<CServedUnit>> units;
    for (int i = 0; i < kUnits; ++i) units.push_back(std::make_unique<CServedUnit>());
    auto run = [&](int count, long* rss) {
        std::vector<std::string> args = {TR52K_CLI_BINARY, "--yes", "--quiet"};
        for (int i = 0; i < count; ++i) {
            args.push_back("-t");
            args.push_back("127.0.0.1:" + std::to_string(units[static_cast<size_t>(i)]->server.Port()));
        }
        args.insert(args.end(), {"program-eeprom", "5", image});
        const auto t0 = Clock::now();
        const int code = CChild(args).Wait(rss);
        return code == 0 ? Since(t0) : -1.0;
    };
    long rssOne = 0, rssAll = 0;
    const double alone = run(1, &rssOne), all = run(kUnits, &rssAll);
    if (alone <= 0 || all <= 0) return Missing("32 units at once", "an update failed");
    Add("32 units at once (64 KiB, dialog's rhythm)", all, alone, "s", 1.1, true, "one alone");
    Add("tool peak memory, 32 units", rssAll / 1024.0, rssOne / 1024.0, "MiB", 0, true, "one unit");
    g_rows.back().target = "(reported)";
    g_rows.back().met = true;
}

// User and system time of a process, in seconds, from /proc.
double CpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The dialog connects to port 5000, so the simulator must have it.
void IdleDialogRow() {
    const char* figure = "idle dialog, share of a core over 10 s";
    CUnitSimulator unit;
    CSimServer server(unit);
    if (!server.Start(5000)) return Missing(figure, "port 5000 is busy");
    // Its own X server, so the figure is the dialog's alone.
    std::vector<std::string> args = {"xvfb-run", "-a", TR52K_DIALOG_BINARY, "ETHERNET_IP_ADDR=127.0.0.1"};
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    CChild dialog(args);
    if (dialog.pid <= 0) return Missing(figure, "xvfb-run could not be started");
    std::this_thread::sleep_for(std::chrono::seconds(4));  // start-up and its first reads
    // xvfb-run's child is the dialog: find it by name among our descendants.
    pid_t target = -1;
    for (int attempt = 0; attempt < 20 && target < 0; ++attempt) {
        FILE* p = ::popen("pgrep -n -x tr52k-flash-loa", "r");  // the name as the kernel keeps it
        int found = 0;
        if (p && std::fscanf(p, "%d", &found) == 1) target = found;
        if (p) ::pclose(p);
        if (target < 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (target < 0) return Missing(figure, "the dialog did not start");
    const double before = CpuSeconds(target);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double share = (CpuSeconds(target) - before) / Since(t0) * 100;
    ::kill(target, SIGTERM);
    dialog.Wait();
    server.Stop();
    CRow r;
    r.figure = figure;
    r.ours = share;
    r.floor = 0.5;
    r.unit = "%";
    r.target = "< 0.5 % of a core";
    r.met = share < 0.5;
    g_rows.push_back(r);
}

void PrintTable() {
    std::printf("%-44s %11s %11s %-4s %7s  %-26s %s\n", "figure", "ours", "floor", "", "ratio", "target", "");
    for (const CRow& r : g_rows) {
        if (!r.measured) {
            std::printf("%-44s %11s %11s %-4s %7s  %-26s %s\n", r.figure.c_str(), "-", "-", "", "-", r.target.c_str(),
                        "not measured");
            continue;
        }
        const double ratio = r.floor > 0 ? r.ours / r.floor : 0;
        std::printf("%-44s %11.3f %11.3f %-4s %6.2fx  %-26s %s\n", r.figure.c_str(), r.ours, r.floor, r.unit.c_str(),
                    ratio, r.target.c_str(), r.met ? "met" : "missed");
    }
}
}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    // The programs it runs read settings from a file of the benchmark's own
    // naming a unit on loopback, never the saved address of a real unit.
    char scratch[] = "/tmp/tr52k-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return std::fprintf(stderr, "cannot make a scratch folder\n"), 0;
    const std::string dir = scratch;
    if (std::FILE* f = std::fopen((dir + "/registry.reg").c_str(), "w")) {
        std::fputs("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n"
                   "\"ETHERNET_IP_ADDR\"=\"127.0.0.1\"\n",
                   f);
        std::fclose(f);
    }
    ::setenv("TR52K_REGISTRY_FILE", (dir + "/registry.reg").c_str(), 1);
    ::setenv("TR52K_HISTORY_FILE", (dir + "/history.jsonl").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    CCapturingDebugSink quiet;
    SetDebugSink(&quiet);

    auto image = [&](const std::string& name, size_t size) {
        const std::string path = dir + "/" + name;
        std::ofstream f(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) f.put(static_cast<char>(i * 7));
        return path;
    };
    DspRows(samples);
    EepromRows(image("tr52K_bench_1MiB.bin", 1u << 20), samples);
    RackRows(image("tr52K_bench_64KiB.bin", 64u << 10));
    IdleDialogRow();
    SetDebugSink(nullptr);
    PrintTable();
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
