// The built tr52k program against simulators on loopback: output, JSON and
// exit codes, refusals without traffic, several units at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include "platform/Text.h"
#include "sim/SimServer.h"

namespace fs = std::filesystem;

namespace {
struct ToolRun {
    int code = -1;
    std::string out, err;
};

// Runs the tool with stdin from /dev/null (no terminal) and both streams captured.
ToolRun Tr52k(const std::string& args) {
    fs::path dir = fs::temp_directory_path();
    std::string errFile = (dir / ("tr52k-err-" + std::to_string(::getpid()))).string();
    std::string cmd = std::string(TR52K_CLI_BINARY) + " " + args + " </dev/null 2>" + errFile;
    ToolRun r;
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(errFile);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    fs::remove(errFile);
    return r;
}

struct Unit {
    CUnitSimulator sim;
    CSimServer server{sim};
    Unit() {
        sim.m_eraseMs = 20;
        server.Start(0);
    }
    std::string Args() const { return "--target 127.0.0.1 --port " + std::to_string(server.Port()); }
};

struct Cli : ::testing::Test {
    fs::path dir;
    Cli() {
        char tmpl[] = "/tmp/tr52k-cli-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ::setenv("TR52K_REGISTRY_FILE", (dir / "registry.reg").c_str(), 1);
    }
    ~Cli() override { fs::remove_all(dir); }
    std::string Image(const std::string& name, size_t size, uint8_t seed) {
        std::vector<uint8_t> v(size);
        for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed);
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
        return p.string();
    }
    static std::vector<uint8_t> Padded(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::vector<uint8_t> v((std::istreambuf_iterator<char>(f)), {});
        v.resize((v.size() & ~size_t{0xFF}) + 256, 0xFF);
        return v;
    }
};

TEST_F(Cli, InfoInWordsAndInJson) {
    Unit u;
    ToolRun r = Tr52k(u.Args() + " info");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Serial Number:              00AB-005"), std::string::npos);
    EXPECT_NE(r.out.find("FIO FPGA Fw Ver:            0000003F"), std::string::npos);
    EXPECT_NE(r.out.find("* EEPROM_0  5A000001 : 2 BitSyncs, 3 Decoms, 2 Sims Mode"), std::string::npos);

    r = Tr52k(u.Args() + " --json info");
    ASSERT_EQ(r.code, 0);
    auto j = nlohmann::json::parse(r.out);
    const auto& unit = j.at("units").at(0);
    EXPECT_EQ(unit.at("serialNumber"), "00AB-005");
    EXPECT_EQ(unit.at("dpFpgaBoardPcbRev"), 300);
    EXPECT_EQ(unit.at("ipAddress"), "192.168.1.100");
    EXPECT_EQ(unit.at("eeproms").size(), 12u);
    EXPECT_TRUE(unit.at("ok").get<bool>());
    EXPECT_TRUE(r.err.empty()) << r.err;  // no progress in JSON mode
}

TEST_F(Cli, PingModeAndTurnOff) {
    Unit u;
    ToolRun r = Tr52k(u.Args() + " ping");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "68 00 00 00 00 00 \n");
    EXPECT_EQ(Tr52k(u.Args() + " mode 3").code, 0);
    EXPECT_EQ(Tr52k(u.Args() + " turn-off graphs").code, 0);
    {
        std::lock_guard<std::mutex> lock(u.sim.m_mutex);
        EXPECT_EQ(u.sim.m_operationalMode, 3);
        EXPECT_EQ(u.sim.m_turnOffs, (std::vector<uint8_t>{1, 2}));
    }
    EXPECT_EQ(Tr52k(u.Args() + " mode 4").code, 2);
    EXPECT_EQ(Tr52k(u.Args() + " select-eeprom 12").code, 2);
}

TEST_F(Cli, SilentAndUnreachableUnitsHaveTheirOwnCodes) {
    Unit u;
    {
        std::lock_guard<std::mutex> lock(u.sim.m_mutex);
        u.sim.m_faults.drop[0x0000] = -1;
    }
    ToolRun r = Tr52k(u.Args() + " --timeout 100 --json ping");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(nlohmann::json::parse(r.out).at("units").at(0).at("reply"), "00 00 00 00 00 00 ");
    u.server.Stop();
    r = Tr52k(u.Args() + " ping");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("WSAECONNREFUSED: The attempt to connect was rejected."), std::string::npos);
}

TEST_F(Cli, WritesAreRefusedWithoutConfirmationAndBadFilesSendNothing) {
    Unit u;
    std::string eeprom = Image("tr52K_dp.bin", 1000, 3);
    ToolRun r = Tr52k(u.Args() + " program-eeprom 2 " + eeprom);
    EXPECT_EQ(r.code, 4);
    std::string wrong = Image("TR52K1_DSP2_v1.bin", 300, 1);
    r = Tr52k(u.Args() + " --yes flash-dsp 1 " + wrong);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("File chosen is not a valid file for DSP1"), std::string::npos);
    r = Tr52k(u.Args() + " --yes program-eeprom 2 " + (dir / "missing.bin").string());
    EXPECT_EQ(r.code, 2);
    r = Tr52k(u.Args() + " --yes program-eeprom 2 " + Image("TR52K_dp.bin", 10, 1));  // capitals fail the check
    EXPECT_EQ(r.code, 2);
    std::lock_guard<std::mutex> lock(u.sim.m_mutex);
    EXPECT_EQ(u.sim.m_commandCounts.count(0x1001), 0u);
    EXPECT_EQ(u.sim.m_commandCounts.count(0x1022), 0u);
}

TEST_F(Cli, DspFlashArrivesByteExact) {
    Unit u;
    std::string image = Image("TR52K1_DSP2_v2.bin", 1000, 9);
    ToolRun r = Tr52k(u.Args() + " --yes --dsp-wait-step-ms 1 flash-dsp 2 " + image);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("DSP2 Flash Operation Completed. You must now reboot the TR52K before you can flash DSP1."),
              std::string::npos);
    std::ifstream f(image, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
    u.server.Stop();
    EXPECT_EQ(u.sim.m_dspImages[1], bytes);
    for (char c : r.err) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << "control character in plain output";
}

TEST_F(Cli, ThreeUnitsAtOnceOneFailingMidWay) {
    // A rack on loopback: three units, each on a port of its own.
    std::string image = Image("tr52K_config.bin", 20 * 256 + 17, 5);
    CUnitSimulator simA, simB, simC;
    simC.m_faults.closeAfterFrames = 8;
    for (CUnitSimulator* s : {&simA, &simB, &simC}) s->m_eraseMs = 20;
    CSimServer sa(simA), sb(simB), sc(simC);
    ASSERT_TRUE(sa.Start(0));
    ASSERT_TRUE(sb.Start(0));
    ASSERT_TRUE(sc.Start(0));
    std::string trace = (dir / "trace.log").string();
    auto t = [](const CSimServer& s) { return " -t 127.0.0.1:" + std::to_string(s.Port()); };
    ToolRun r = Tr52k(t(sa) + t(sb) + t(sc) + " --yes --json --trace " + trace + " program-eeprom 7 " + image);
    EXPECT_EQ(r.code, 1) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.at("units").size(), 3u);
    EXPECT_TRUE(j["units"][0]["ok"].get<bool>());
    EXPECT_TRUE(j["units"][1]["ok"].get<bool>());
    EXPECT_FALSE(j["units"][2]["ok"].get<bool>());
    EXPECT_NE(j["units"][2]["error"].get<std::string>().find("Serial Port Error"), std::string::npos);
    sa.Stop();
    sb.Stop();
    sc.Stop();
    const std::string expected = CUnitSimulator::Digest(Padded(image));
    EXPECT_EQ(simA.EepromDigest(7), expected);
    EXPECT_EQ(simB.EepromDigest(7), expected);
    EXPECT_NE(simC.EepromDigest(7), expected);
    EXPECT_EQ(simA.m_currentEeprom, 7);
    EXPECT_NE(simC.m_currentEeprom, 7);
    EXPECT_TRUE(fs::exists(trace + ".127.0.0.1:" + std::to_string(sa.Port())));
    EXPECT_TRUE(fs::exists(trace + ".127.0.0.1:" + std::to_string(sc.Port())));
    sa.Stop();
    sb.Stop();
    sc.Stop();
}
}  // namespace
