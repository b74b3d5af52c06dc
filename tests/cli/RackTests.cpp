// tr52k for rack work: a unit that is off costs seconds, a wrong file is
// refused before anything is asked, every unit is named host:port, an
// interrupted update says what the unit holds, and every update is recorded.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/SimServer.h"
#include "support/ScratchDir.h"
#include "support/SimUnit.h"
#include "support/ToolRun.h"

namespace {
struct Rack : SimUnitTest {
    Rack() : SimUnitTest("tr52k-rack") {}
    std::string Unit() const { return "127.0.0.1:" + std::to_string(server.Port()); }
    std::string Image(const std::string& name, size_t size) const {
        std::vector<uint8_t> v(size);
        for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 5 + 1);
        return WriteFile(dir / name, v);
    }
};

// A listening socket whose queue is full: a connect to it is never answered,
// like a unit that is powered off.
struct SilentPort {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0), filler = -1;
    uint16_t port = 0;
    SilentPort() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), n);
        ::listen(listener, 0);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&a), n);  // takes the one place in the queue
    }
    ~SilentPort() {
        ::close(filler);
        ::close(listener);
    }
};

TEST_F(Rack, AUnitThatDoesNotAnswerTheConnectCostsTheConnectTimeOut) {
    SilentPort off;
    const ToolRun r = Tr52k("--connect-timeout 700 -t 127.0.0.1:" + std::to_string(off.port) + " ping");
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_NE(r.out.find("WSAETIMEDOUT"), std::string::npos) << r.out;
    EXPECT_LT(r.seconds, 20);  // not the system's two minutes
}

TEST_F(Rack, ConventionsOfTheCommandLine) {
    EXPECT_EQ(Tr52k("--version").out, "tr52k 1.0\n");
    // Options after the command, and the dialog's own argument for the address.
    ToolRun r = Tr52k("ping -t " + Unit() + " --json");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(nlohmann::json::parse(r.out).at("units").at(0).at("unit"), Unit());
    r = Tr52k("ping ETHERNET_IP_ADDR=" + Unit());
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "68 00 00 00 00 00 \n");
    // A mistyped option with --json still gives one JSON document.
    r = RunCommand(std::string(TR52K_CLI_BINARY) + " -t " + Unit() + " ping --json --bogus 2>/dev/null");
    EXPECT_EQ(r.code, 2);
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << r.out;
    EXPECT_EQ(doc.at("exitCode"), 2);
    EXPECT_NE(doc.at("error").get<std::string>().find("--bogus"), std::string::npos);
    // Help says what each command takes, with the options of every command.
    r = Tr52k("program-eeprom --help");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Usage: tr52k [options] program-eeprom INDEX FILE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--expect-serial SERIAL"), std::string::npos);
    EXPECT_EQ(r.out.find("REQUIRED"), std::string::npos);
    EXPECT_EQ(r.out.find("UINT"), std::string::npos);
}

TEST_F(Rack, DryRunAndExpectedSerialWriteNothingToAnotherUnit) {
    const std::string image = Image("tr52K_dp.bin", 1000);
    ToolRun r = Tr52k("-t " + Unit() + " --dry-run program-eeprom 2 " + image);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("would erase configuration EEPROM_2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(Unit() + ": serial 00AB-005"), std::string::npos) << r.out;
    r = Tr52k("-t " + Unit() + " --yes --expect-serial 00AB-006 program-eeprom 2 " + image);
    EXPECT_EQ(r.code, 4) << r.out;
    EXPECT_NE(r.out.find("serial number is 00AB-005, not 00AB-006"), std::string::npos) << r.out;
    EXPECT_EQ(Count(0x1022) + Count(0x1021) + Count(0x1024), 0);
    r = Tr52k("-t " + Unit() + " --yes --expect-serial 00AB-005 program-eeprom 2 " + image);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(Count(0x1022), 1);
}

TEST_F(Rack, JsonAndHistoryRecordEachUpdateWithItsUnitImageAndTimes) {
    const std::string image = Image("TR52K1_DSP1_v9.bin", 300);
    ToolRun r = Tr52k("-t " + Unit() + " --yes --json --dsp-wait-step-ms 0 flash-dsp 1 " + image);
    ASSERT_EQ(r.code, 0) << r.out;
    const auto unit = nlohmann::json::parse(r.out).at("units").at(0);
    EXPECT_EQ(unit.at("unit"), Unit());
    EXPECT_EQ(unit.at("serialNumber"), "00AB-005");
    EXPECT_EQ(unit.at("size"), 300);
    EXPECT_EQ(unit.at("sha256").get<std::string>().size(), 64u);
    EXPECT_TRUE(unit.at("finishAcknowledged").get<bool>());
    const std::string started = unit.at("started"), ended = unit.at("ended");
    EXPECT_EQ(started.size(), 20u);
    EXPECT_EQ(started.back(), 'Z');
    EXPECT_LE(started, ended);

    r = Tr52k("--json history");
    ASSERT_EQ(r.code, 0) << r.out;
    const auto entries = nlohmann::json::parse(r.out).at("entries");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].at("program"), "tr52k");
    EXPECT_EQ(entries[0].at("unit"), Unit());
    EXPECT_EQ(entries[0].at("target"), "DSP1");
    EXPECT_EQ(entries[0].at("sha256"), unit.at("sha256"));
    EXPECT_EQ(entries[0].at("result"), "completed");
    r = Tr52k("history");
    EXPECT_NE(r.out.find(Unit()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("DSP1"), std::string::npos);
}

TEST_F(Rack, AnInterruptedUpdateSaysWhatTheUnitHoldsAndHowToRedoIt) {
    {
        std::lock_guard<std::mutex> lock(sim.m_mutex);  // the server thread reads it
        sim.m_pageWriteMs = 40;
    }
    const std::string image = Image("tr52K_dp.bin", 80 * 256);
    const ToolRun r = RunCommand("sh -c '" + std::string(TR52K_CLI_BINARY) + " -t " + Unit() + " --yes program-eeprom 2 " +
                                 image + " >" + (dir / "out.txt").string() + " 2>&1 & p=$!; sleep 1.5; kill -TERM $p; wait $p'");
    const std::string out = Slurp(dir / "out.txt");
    EXPECT_EQ(r.code, 1) << out;
    EXPECT_NE(out.find("Interrupted: EEPROM_2 is erased and "), std::string::npos) << out;
    EXPECT_NE(out.find(" of 81 pages are written; EEPROM_0 is still current. To redo: tr52k -t " + Unit() +
                       " --yes program-eeprom 2 " + image),
              std::string::npos)
        << out;
    EXPECT_GT(Count(0x1021), 0);
    EXPECT_LT(Count(0x1021), 81);
    EXPECT_EQ(Count(0x1024), 0);
}

// On a terminal the progress line is redrawn in place: it never reaches the
// terminal's last column (or it would wrap), and its numbers are exact: the
// image's own bytes (a DSP image's last block is short), pages counted from
// 1 in the retry notice as in the line.
TEST_F(Rack, OnATerminalTheProgressLineFitsItsWidthAndCountsExactly) {
    Fault("drop:0x1021@3*1");
    const std::string dsp = Image("TR52K1_DSP1_v2.bin", 4000), eeprom = Image("tr52K_dp.bin", 12 * 256 - 10);
    const std::string tool = std::string(TR52K_CLI_BINARY) + " -t " + Unit() + " --yes ";
    const std::string commands = "stty cols 60; " + tool + "--dsp-wait-step-ms 1 flash-dsp 1 " + dsp + "; " + tool +
                                 "--timeout 300 program-eeprom 3 " + eeprom;
    const ToolRun r = RunCommand("script -qec '" + commands + "' " + (dir / "typescript").string() + " </dev/null");
    const std::string out = r.out;
    EXPECT_EQ(r.code, 0) << out;
    size_t widest = 0;  // of the progress lines
    for (size_t start = 0; start < out.size();) {
        size_t end = out.find_first_of("\r\n", start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        if (line.find(" image:") != std::string::npos || line.find("EEPROM_3:") != std::string::npos ||
            line.find("flash, do not") != std::string::npos)
            widest = std::max(widest, line.size());
        start = end + 1;
    }
    EXPECT_LE(widest, 59u) << out;
    EXPECT_NE(out.find("100% 4,000/4,000 bytes"), std::string::npos) << out;
    EXPECT_EQ(out.find("3,968"), std::string::npos) << out;  // whole blocks only
    EXPECT_EQ(out.find(" 0/4,000 bytes"), std::string::npos) << out;  // drawn before its bytes
    EXPECT_NE(out.find("page 3 of 12 was not acknowledged, writing it again (1/4)"), std::string::npos) << out;
    EXPECT_NE(out.find("3,072/3,072 bytes, 12 of 12 pages"), std::string::npos) << out;
}
}  // namespace
