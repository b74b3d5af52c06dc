// The tr52k-sim program as scripts use it: updated by the tr52k program, its
// state file written while it serves and on SIGTERM, the digests read back,
// one client at a time, faults from its options, a unit that dies, a port
// already taken.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/UnitSimulator.h"
#include "support/ScratchDir.h"
#include "support/SimProcess.h"
#include "support/TestSockets.h"
#include "support/ToolRun.h"

namespace fs = std::filesystem;

namespace {
struct SimProgram : ::testing::Test {
    const ScratchDir dir{"tr52k-sim-prog"};
    const fs::path state = dir / "unit.json";
    SimProgram() { UseLoopbackSettings(dir / "registry.reg"); }
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
    static ToolRun Tool(uint16_t port, const std::string& args) {
        return Tr52k("-t 127.0.0.1:" + std::to_string(port) + " --yes " + args);
    }
    std::string Image(const std::string& name, std::vector<uint8_t>* bytes) const {
        for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = static_cast<uint8_t>(i * 7 + name.size());
        return WriteFile(dir / name, *bytes);
    }
    // The state file as it stands; the unit's defaults while there is none.
    std::unique_ptr<CUnitSimulator> Saved() const {
        auto unit = std::make_unique<CUnitSimulator>();
        unit->LoadState(state.string(), nullptr);
        return unit;
    }
};

TEST_F(SimProgram, UpdatesOfBothKindsArriveAndAreSavedWhileServingAndOnSigterm) {
    std::vector<uint8_t> dsp(1000), eeprom(3 * 256 + 17);
    const std::string dspFile = Image("TR52K1_DSP2_v2.bin", &dsp), eepromFile = Image("tr52K_dp.bin", &eeprom);
    eeprom.resize(4 * 256, 0xFF);  // the last page is padded
    {
        SimProcess sim({"--port", "0", "--state", state.string(), "--erase-ms", "20"});
        const uint16_t port = sim.Port();
        ASSERT_NE(port, 0);
        ToolRun r = Tool(port, "--dsp-wait-step-ms 1 flash-dsp 2 " + dspFile);
        EXPECT_EQ(r.code, 0) << r.out;
        r = Tool(port, "program-eeprom 5 " + eepromFile);
        EXPECT_EQ(r.code, 0) << r.out;
        // The saver thread writes after the commit; wait with a generous limit.
        bool saved = false;
        for (int i = 0; i < 500 && !saved; ++i) {
            const auto unit = Saved();
            saved = unit->m_dspImages[1] == dsp && unit->m_eeproms[5] == eeprom && unit->m_currentEeprom == 5;
            if (!saved) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(saved);
        EXPECT_EQ(Tool(port, "mode 2").code, 0);
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    EXPECT_EQ(Saved()->m_operationalMode, 2);
    const ToolRun digests = RunCommand(std::string(TR52K_SIM_BINARY) + " --digest --state " + state.string());
    EXPECT_NE(digests.out.find("DSP2 " + CUnitSimulator::Digest(dsp) + "\n"), std::string::npos) << digests.out;
    EXPECT_NE(digests.out.find("EEPROM_5 " + CUnitSimulator::Digest(eeprom) + "\n"), std::string::npos);
}

TEST_F(SimProgram, OneClientAtATimeFaultsFromItsOptionsAndADyingUnitFinishesItsSave) {
    SimProcess sim({"--port", "0", "--state", state.string(), "--drop", "0x0000:1", "--fault", "exit:0x1002@1"});
    const uint16_t port = sim.Port();
    ASSERT_NE(port, 0);
    const auto ping = [](CNetworkDeviceComm& link) {
        CTR52K1_Comm comm(&link);
        comm.m_nResponseTimeoutMs = 300;
        return comm.Ping();
    };
    auto link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", port);
    EXPECT_EQ(ping(*link), 0u);  // the one dropped reply
    CNetworkDeviceComm second("127.0.0.1", port);
    EXPECT_EQ(ping(second), 0u);  // refused at once, not left hanging
    // A tool run right after another connects just after the previous close.
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(ping(*link), 0u) << "connection " << i;
        link = nullptr;
        link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", port);
    }
    CTR52K1_Comm comm(link.get());
    EXPECT_NE(comm.SetOperationalMode(3), 0u);
    // The mode's save is still under way when the next frame kills the unit.
    EXPECT_EQ(comm.TurnOff(TURN_OFF_GRAPHS_1), 0u);
    EXPECT_EQ(sim.Stop(0), 70);
    EXPECT_EQ(Saved()->m_operationalMode, 3);
}

TEST_F(SimProgram, APortInUseIsSaidInWordsAndEndsTheProgramCleanly) {
    uint16_t port = 0;
    const test_sockets::Socket taken = test_sockets::Loopback(true, port);
    ASSERT_NE(taken, test_sockets::kNone);
    // With --state the state-saving thread is already running when the
    // port turns out to be taken: it must be ended, not left to abort.
    for (const std::string& options : {std::string(), " --state " + ShellQuoted(state.string())}) {
        const ToolRun r = RunCommand(std::string(TR52K_SIM_BINARY) + " --port " + std::to_string(port) + options +
                                     " 2>&1 </dev/null");
        EXPECT_EQ(r.code, 1) << options << "\n" << r.out;
        EXPECT_EQ(r.out, "tr52k-sim: port " + std::to_string(port) +
                             " on 127.0.0.1 is in use; stop what listens there, or choose another port with --port\n")
            << options;
    }
    EXPECT_FALSE(fs::exists(state));
    test_sockets::Close(taken);
}
}  // namespace
