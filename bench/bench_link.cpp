// Round trip and DSP upload against the simulator on loopback, side by side
// with a link that sleeps a blind 1 ms whenever no byte is waiting.
// Prints one table; asserts nothing.
#include <chrono>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/SimServer.h"

namespace {
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

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double UploadSeconds(CTR52K1_Comm& comm, int blocks, int* failures) {
    std::vector<uint8_t> block(128);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
    auto t0 = std::chrono::steady_clock::now();
    comm.StartDSP_Flash(0);
    for (int i = 0; i < blocks; ++i)
        if (!comm.WriteDSP_FlashBlock(0, block.data(), 128)) ++*failures;
    comm.FinishDSP_Flash(0);
    return Seconds(std::chrono::steady_clock::now() - t0);
}
}  // namespace

int main(int argc, char** argv) {
    const int pings = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int blocks = 6144;  // a 768 KiB image
    CCapturingDebugSink quiet;
    SetDebugSink(&quiet);
    CUnitSimulator unit;
    CSimServer server(unit);
    if (!server.Start(0)) {
        std::fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    int failures = 0;
    double pingMean, ours, blind;
    {
        CNetworkDeviceComm link("127.0.0.1", server.Port());
        CTR52K1_Comm comm(&link);
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < pings; ++i)
            if (!comm.Ping()) ++failures;
        pingMean = Seconds(std::chrono::steady_clock::now() - t0) / pings;
        ours = UploadSeconds(comm, blocks, &failures);
    }
    {
        CBlindSleepLink link("127.0.0.1", server.Port());
        CTR52K1_Comm comm(&link);
        blind = UploadSeconds(comm, blocks, &failures);
    }
    server.Stop();
    SetDebugSink(nullptr);

    const double floor = blocks * pingMean;
    std::printf("%-44s %12s\n", "figure", "value");
    std::printf("%-44s %10.1f us\n", "mean Ping round trip", pingMean * 1e6);
    std::printf("%-44s %10.3f s\n", "6144 x 128-byte DSP blocks, our link", ours);
    std::printf("%-44s %10.3f s\n", "6144 x 128-byte DSP blocks, blind 1 ms sleep", blind);
    std::printf("%-44s %10.3f s\n", "round-trip floor (blocks x Ping)", floor);
    std::printf("%-44s %10.2f x   (target <= 1.5: %s)\n", "ours / floor", ours / floor,
                ours / floor <= 1.5 ? "met" : "missed");
    std::printf("%-44s %10.1f x   (target >= 20: %s)\n", "blind sleep / ours", blind / ours,
                blind / ours >= 20 ? "met" : "missed");
    std::printf("%-44s %10d\n", "failed exchanges", failures);
    return failures ? 1 : 0;
}
