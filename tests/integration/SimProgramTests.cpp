// The tr52k-sim program as scripts use it: the listening line, an upload
// over loopback, the state file written after the commit and on SIGTERM,
// the digests read back, and refused fault options.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/UnitSimulator.h"
#include "support/SimProcess.h"

namespace fs = std::filesystem;

namespace {
std::string RunSim(const std::string& args, int* code) {
    std::string out;
    FILE* p = ::popen((std::string(TR52K_SIM_BINARY) + " " + args + " 2>/dev/null").c_str(), "r");
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = ::pclose(p);
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

struct SimProgram : ::testing::Test {
    fs::path state = fs::temp_directory_path() / ("tr52k-sim-prog-" + std::to_string(::getpid()) + ".json");
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
    ~SimProgram() override { fs::remove(state); }
};

TEST_F(SimProgram, UploadIsSavedAfterTheCommitAndOnSigterm) {
    std::vector<uint8_t> image(300);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    {
        SimProcess sim({"--port", "0", "--print-port", "--state", state.string()});
        ASSERT_GT(sim.pid, 0);
        std::string line = sim.Line();
        ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
        uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(23)));

        CNetworkDeviceComm link("127.0.0.1", port);
        CTR52K1_Comm comm(&link);
        ASSERT_NE(comm.Ping(), 0u);
        ASSERT_NE(comm.StartDSP_Flash(1), 0u);
        for (size_t off = 0; off < image.size(); off += 128) {
            uint16_t n = static_cast<uint16_t>(std::min<size_t>(128, image.size() - off));
            ASSERT_NE(comm.WriteDSP_FlashBlock(1, image.data() + off, n), 0u);
        }
        ASSERT_NE(comm.FinishDSP_Flash(1), 0u);

        // The save follows the reply; wait for it with a generous limit.
        CUnitSimulator saved;
        std::string error;
        bool loaded = false;
        for (int i = 0; i < 500 && !loaded; ++i) {
            loaded = fs::exists(state) && saved.LoadState(state.string(), &error) &&
                     saved.m_dspImages[1] == image;
            if (!loaded) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(loaded) << error;

        ASSERT_NE(comm.SetOperationalMode(2), 0u);
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    CUnitSimulator after;
    std::string error;
    ASSERT_TRUE(after.LoadState(state.string(), &error)) << error;
    EXPECT_EQ(after.m_operationalMode, 2);
    EXPECT_EQ(after.m_dspImages[1], image);

    int code = -1;
    std::string digests = RunSim("--state " + state.string() + " --digest", &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(digests.find("DSP2 " + CUnitSimulator::Digest(image) + "\n"), std::string::npos) << digests;
    EXPECT_NE(digests.find("EEPROM_11 0:"), std::string::npos) << digests;
}

TEST_F(SimProgram, FaultOptionsAreCheckedBeforeListening) {
    // Bad values exit with 2 and print no listening line.
    for (const char* bad : {"--drop 0x1021:x", "--drop 0x10000", "--delay 0", "--short 0x2002:-1",
                            "--extra zz:1", "--delay 0x0000:5ms"}) {
        int code = -1;
        std::string out = RunSim(std::string("--port 0 ") + bad, &code);
        EXPECT_EQ(code, 2) << bad;
        EXPECT_EQ(out.find("listening"), std::string::npos) << bad;
    }
    std::ofstream(state) << "{ broken";
    int code = -1;
    RunSim("--port 0 --state " + state.string(), &code);
    EXPECT_EQ(code, 2);
}

TEST_F(SimProgram, InjectedDropFromTheCommandLine) {
    SimProcess sim({"--port", "0", "--drop", "0x0000:1"});
    ASSERT_GT(sim.pid, 0);
    std::string line = sim.Line();
    ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    CNetworkDeviceComm link("127.0.0.1", static_cast<uint16_t>(std::stoi(line.substr(23))));
    CTR52K1_Comm comm(&link);
    comm.m_nResponseTimeoutMs = 300;
    EXPECT_EQ(comm.Ping(), 0u);  // the one dropped reply
    EXPECT_NE(comm.Ping(), 0u);
    EXPECT_EQ(sim.Stop(SIGINT), 0);
}
}  // namespace
