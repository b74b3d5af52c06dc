// Three simulated units programmed with one 64 KiB EEPROM image: one after
// another, then all at once by a single run of the command-line tool. The
// parallel run should take about as long as the slowest single update.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/SimServer.h"

namespace {
double Run(const std::string& args) {
    auto t0 = std::chrono::steady_clock::now();
    std::string cmd = std::string(TR52K_CLI_BINARY) + " --yes --quiet " + args + " >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) std::fprintf(stderr, "run failed (%d): %s\n", rc, cmd.c_str());
    return s;
}
}  // namespace

int main() {
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
    double each[3], sum = 0, slowest = 0;
    for (int i = 0; i < 3; ++i) {
        each[i] = Run(one[i] + " program-eeprom 5 " + image);
        sum += each[i];
        if (each[i] > slowest) slowest = each[i];
    }
    double parallel = Run(all + " program-eeprom 6 " + image);
    for (auto& s : servers) s->Stop();
    std::remove(image.c_str());

    std::printf("%-44s %10s\n", "figure (64 KiB EEPROM image, 3 units)", "seconds");
    for (int i = 0; i < 3; ++i) std::printf("unit %d alone%32s %10.2f\n", i + 1, "", each[i]);
    std::printf("%-44s %10.2f\n", "one after another (sum)", sum);
    std::printf("%-44s %10.2f\n", "all three at once", parallel);
    std::printf("%-44s %10.2f x\n", "parallel / slowest single", parallel / slowest);
    std::printf("%-44s %10.2f x\n", "sequential / parallel", sum / parallel);
    return 0;
}
