// The built tr52k program against simulators on loopback: output, JSON and
// exit codes from what the unit confirmed (a failed step never prints
// success text or zero-filled values), refusals without traffic, several
// units at once, an update whose output went away.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <nlohmann/json.hpp>

#include "platform/Sha256.h"
#include "platform/UnitLock.h"
#include "sim/SimServer.h"
#include "support/ScratchDir.h"
#include "support/SimUnit.h"
#include "support/ToolRun.h"

namespace {
struct Cli : SimUnitTest {
    Cli() : SimUnitTest("tr52k-cli") {}
    // Errors and progress are in Tr52k's output too: JSON mode must have none.
    std::string Unit() const { return "--target 127.0.0.1 --port " + std::to_string(server.Port()); }
    std::string Image(const std::string& name, size_t size, uint8_t seed) const {
        std::vector<uint8_t> v(size);
        for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed);
        WriteFile(dir / name, v);
        v.resize((size + 255) / 256 * 256, 0xFF);
        return CUnitSimulator::Digest(v);  // of the image as the unit stores it
    }
    // stdout and stderr apart: what a script would take for the result is on stdout.
    ToolRun Apart(const std::string& args, std::string* err) const {
        const std::string errFile = (dir / "stderr.txt").string();
        ToolRun r = RunCommand(std::string(TR52K_CLI_BINARY) + " " + Unit() + " " + args + " 2>" + errFile + " </dev/null");
        *err = Slurp(errFile);
        return r;
    }
};

TEST_F(Cli, InfoAndDirectCommands) {
    ToolRun r = Tr52k(Unit() + " info");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Serial Number:              00AB-005"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("* EEPROM_0  5A000001 : 2 BitSyncs, 3 Decoms, 2 Sims Mode"), std::string::npos);
    EXPECT_NE(r.out.find("Device IP Address:          192.168.1.100"), std::string::npos);
    EXPECT_NE(r.out.find("DSP Board PCB Revison:      3\nDP FPGA Board PCB Rev:      300\n"), std::string::npos);
    for (const char* command : {" select-eeprom 1", " mode 3", " turn-off graphs"})
        EXPECT_EQ(Tr52k(Unit() + command).code, 0) << command;
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    EXPECT_EQ(sim.m_turnOffs, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(sim.m_currentEeprom, 1);
    EXPECT_EQ(sim.m_operationalMode, 3);
}

TEST_F(Cli, EachCauseHasItsExitCodeAndBadInputSendsNothing) {
    for (const char* name : {"tr52K_dp.bin", "TR52K_dp.bin"}) Image(name, 300, 1);
    [&] { std::lock_guard<std::mutex> lock(sim.m_mutex); sim.m_faultRules.push_back(SimRule{}); }();  // drop:0x0000, always
    CSimServer gone(sim);  // a port nobody listens on any more
    gone.Start(0);
    gone.Stop();
    const std::string u = Unit() + " ", d = dir.path.string() + "/", closed = std::to_string(gone.Port());
    const struct {
        std::string args;
        int code;
        std::string message;
    } cases[] = {
        {u + "program-eeprom 2 " + d + "tr52K_dp.bin", 4, "refusing to write firmware without a terminal"},
        {u + "--yes program-eeprom 2 " + d + "TR52K_dp.bin", 2, "not a valid file"},  // the name needs "tr52K"
        {u + "--timeout 100 ping", 1, "No reply to the ping."},  // silent: no zeros passed off as a reply
        {"-t 127.0.0.1:" + closed + " ping", 3, "WSAECONNREFUSED: The attempt to connect was rejected."},
        {"-t '[::1]:" + closed + "' ping", 3, "cannot connect to ::1 port " + closed},  // taken apart, not refused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const ToolRun r = Tr52k(c.args);
        EXPECT_EQ(r.code, c.code) << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    for (uint16_t update : {0x1001, 0x1020, 0x1022, 0x1024}) EXPECT_EQ(sim.m_commandCounts.count(update), 0u);
}

// A reply counts only as the request's own frame: a garbled or missing one
// is never a success, and stray bytes ahead of a reply are skipped, not
// decoded. A failure prints nothing on stdout, where a script takes its
// result, except the one JSON document. The unit starts on EEPROM_5.
TEST_F(Cli, OnlyTheRequestsOwnReplyIsReported) {
    const struct {
        const char* faults;  // simulator rules, separated by spaces
        std::string args;
        int code;
        const char *present, *absent;
    } cases[] = {
        {"garbage:0x0000", "--json ping", 1, "No reply to the ping.", "\"ok\": true"},
        {"drop:0x0000", "ping", 1, "No reply to the ping.", "68 00"},
        {"garbage:0x1002", "turn-off status", 1, "did not acknowledge Turn Off Consolidated Status", "turned off"},
        {"drop:0x1002@2*1", "turn-off graphs", 1, "(second command)", "turned off"},
        {"garbage:0x2003", "--json info", 1, "the device information", "serialNumber"},
        {"noop:0x1024 garbage:0x2009", "--json select-eeprom 0", 1, "could not be read back", "currentEeprom\""},
        {"ignore:0x1024", "select-eeprom 5", 1, "SelectFPGA_ConfigEEPROM() failed.", "Current"},  // already current
        {"noop:0x1024", "select-eeprom 3", 1, "The unit reports EEPROM_5 as current, not EEPROM_3.", "Current"},
        {"drop:0x2009@1*1", "select-eeprom 3", 1, "the EEPROM directory could not be read back", "Current"},
        {"extra:0x1024:6", "--json select-eeprom 3", 0, "\"currentEeprom\": 3", "error"},
        {"extra:0x0000:6", "--json ping", 0, "68 00 00 00 00 00", "error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        [&] {
            std::lock_guard<std::mutex> lock(sim.m_mutex);
            sim.m_currentEeprom = 5;
            sim.m_faultRules.clear();
            sim.m_commandCounts.clear();  // rules count from here
        }();
        std::istringstream words(c.faults);
        for (std::string w; words >> w;) Fault(w);
        std::string err;
        const ToolRun r = Apart("--timeout 300 " + c.args, &err);
        EXPECT_EQ(r.code, c.code) << r.out << err;
        const bool json = !nlohmann::json::parse(r.out, nullptr, false).is_discarded();
        if (c.code && !json) { EXPECT_EQ(r.out, ""); }
        const std::string out = (json ? nlohmann::json::parse(r.out).dump(1) : r.out) + err;
        EXPECT_NE(out.find(c.present), std::string::npos) << out;
        EXPECT_EQ(out.find(c.absent), std::string::npos) << out;
    }
    std::string err;
    EXPECT_EQ(Apart("select-eeprom 3", &err).out, "Current EEPROM: EEPROM_3\n");
}

// Nothing is written only when the unit provably holds the image already:
// the unit's replies now and, for an EEPROM, the last update of it in the
// history with this same file. Anything else writes as usual.
TEST_F(Cli, SkipsOnlyWhatTheUnitProvablyHolds) {
    const std::string a = (dir / "tr52K_a.bin").string(), b = (dir / "tr52K_b.bin").string();
    Image("tr52K_a.bin", 1000, 1);
    Image("tr52K_b.bin", 1000, 2);
    std::vector<uint8_t> dsp(500, 0x42);
    const std::string dspFile = WriteFile(dir / "TR52K1_DSP1_x.bin", dsp);
    const std::string u = Unit() + " --yes --json --dsp-wait-step-ms 0 ";
    const struct { std::string args; int code; const char* result; bool writes; } steps[] = {
        {"program-eeprom 3 " + a + " --skip-if-current", 0, "completed", true},   // nothing in the history yet
        {"program-eeprom 3 " + a + " --skip-if-current", 0, "already-current", false},
        {"--dry-run program-eeprom 3 " + a + " --skip-if-current", 0, "", false},
        {"program-eeprom 3 " + b + " --skip-if-current", 0, "completed", true},   // another file
        {"--dry-run program-eeprom 3 " + a + " --skip-if-current", 0, "", true},
        {"program-eeprom 3 " + b + " --skip-if-current", 0, "already-current", false},
        {"select-eeprom 4", 0, "", true},                                          // EEPROM_3 no longer current
        {"program-eeprom 3 " + b + " --skip-if-current", 0, "completed", true},
        {"program-eeprom 3 " + b, 0, "completed", true},                           // without the option: always
        // The proof is EEPROM_3's own last update, not the unit's last one.
        {"program-eeprom 5 " + a, 0, "completed", true},
        {"select-eeprom 3", 0, "", true},
        {"program-eeprom 3 " + b + " --skip-if-current", 0, "already-current", false},
        {"flash-dsp 1 " + dspFile + " --skip-if-version 0x01020003", 0, "already-current", false},
        {"flash-dsp 1 " + dspFile + " --skip-if-version 01020004", 0, "completed", true},
        {"flash-dsp 1 " + dspFile + " --skip-if-version 1x", 2, "", false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.args);
        const int writesBefore = Count(0x1022) + Count(0x1024) + Count(0x1020);
        const ToolRun r = Tr52k(u + step.args);
        EXPECT_EQ(r.code, step.code) << r.out;
        EXPECT_EQ(Count(0x1022) + Count(0x1024) + Count(0x1020) > writesBefore,
                  step.writes && step.args.find("--dry-run") == std::string::npos)
            << r.out;
        const auto doc = nlohmann::json::parse(r.out, nullptr, false);
        if (doc.is_discarded() || step.code == 2) continue;
        const auto& unit = doc.at("units").at(0);
        if (*step.result) {
            EXPECT_EQ(unit.value("result", ""), step.result);
            EXPECT_EQ(unit.value("skipped", true), !step.writes);
        }
        if (step.args.rfind("--dry-run", 0) == 0) { EXPECT_EQ(unit.value("wouldWrite", !step.writes), step.writes); }
        if (!step.writes && *step.result) {
            EXPECT_TRUE(unit.at("proof").contains("serialNumber")) << unit.dump();
        }
    }
    // The skips are in the history too, with their proof.
    const std::string history = Slurp(dir / "history.jsonl");
    EXPECT_NE(history.find("\"result\":\"already-current\""), std::string::npos) << history;
    EXPECT_NE(history.find("\"proof\":{\"serialNumber\":\"00AB-005\",\"currentEeprom\":\"3\""),
              std::string::npos) << history;
}

TEST_F(Cli, ThreeUnitsAtOnceOneFailingMidWayEachWithItsTrace) {
    const std::string digest = Image("tr52K_config.bin", 20 * 256 + 17, 5);
    CUnitSimulator sims[3];
    sims[1].m_faultRules.push_back(CloseAfterFrames(8, false));  // the run's code is the worst, not the last unit's
    std::vector<std::unique_ptr<CSimServer>> servers;
    std::string targets;
    for (CUnitSimulator& s : sims) {
        s.m_eraseMs = 20;
        servers.push_back(std::make_unique<CSimServer>(s));
        ASSERT_TRUE(servers.back()->Start(0));
        targets += " -t 127.0.0.1:" + std::to_string(servers.back()->Port());
    }
    const std::string trace = (dir / "trace.log").string();
    ToolRun r = Tr52k(targets + " --yes --json --trace " + trace + " program-eeprom 7 " + (dir / "tr52K_config.bin").string());
    EXPECT_EQ(r.code, 1);
    const auto units = nlohmann::json::parse(r.out).at("units");
    ASSERT_EQ(units.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const bool ok = i != 1;
        servers[i]->Stop();
        EXPECT_EQ(units[i].at("ok").get<bool>(), ok);
        EXPECT_EQ(sims[i].EepromDigest(7) == digest, ok);
        EXPECT_EQ(sims[i].m_currentEeprom == 7, ok);
        // The update's own lines, written on its ticker thread, reach the unit's own trace.
        const std::string text = Slurp(trace + ".127.0.0.1:" + std::to_string(servers[i]->Port()));
        EXPECT_NE(text.find("CNetworkDeviceComm() ctor succeeded"), std::string::npos) << text;
        EXPECT_EQ(text.find("Elapsed Time:") != std::string::npos, ok) << text;
    }
    EXPECT_NE(units[1].at("error").get<std::string>().find("Serial Port Error"), std::string::npos);
}
TEST_F(Cli, AnUpdateGoesOnWhenItsOutputHasGoneAway) {
    // Standard output and error lead nowhere from the start (a closed pipe,
    // a dropped session): every progress line and the result fail to write,
    // and the unit must still get the whole image.
    const std::string eepromDigest = Image("tr52K_gone.bin", 40 * 256 + 3, 9);
    std::vector<uint8_t> dsp(3000);
    for (size_t i = 0; i < dsp.size(); ++i) dsp[i] = static_cast<uint8_t>(i * 11 + 3);
    WriteFile(dir / "TR52K1_DSP2_gone.bin", dsp);
    const std::string port = std::to_string(server.Port());
    const std::vector<std::string> runs[] = {
        {TR52K_CLI_BINARY, "--yes", "-t", "127.0.0.1:" + port, "program-eeprom", "4", (dir / "tr52K_gone.bin").string()},
        {TR52K_CLI_BINARY, "--yes", "-t", "127.0.0.1:" + port, "program-eeprom", "5", (dir / "tr52K_gone.bin").string(),
         "--pace", "none"},
        {TR52K_CLI_BINARY, "--yes", "-t", "127.0.0.1:" + port, "--dsp-wait-step-ms", "0", "flash-dsp", "2",
         (dir / "TR52K1_DSP2_gone.bin").string()},
        {TR52K_CLI_BINARY, "--yes", "--json", "-t", "127.0.0.1:" + port, "select-eeprom", "4"},
    };
    for (const auto& run : runs) EXPECT_EQ(RunWithOutputGone(run), 0) << run[run.size() - 3] << " " << run[run.size() - 2];
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    EXPECT_EQ(sim.EepromDigest(4), eepromDigest);
    EXPECT_EQ(sim.EepromDigest(5), eepromDigest);  // unpaced, the same image
    EXPECT_EQ(sim.m_dspImages[1], dsp);
    EXPECT_EQ(sim.m_currentEeprom, 4);
}

// While another update on this machine holds the unit, whatever writes to
// it is refused at once and the unit hears nothing, not even a connection's
// first read; the turn-off commands still go.
TEST_F(Cli, AUnitAnotherUpdateHoldsIsRefusedWithoutTraffic) {
    Image("tr52K_dp.bin", 300, 1);
    Image("TR52K1_DSP1_v1.bin", 300, 2);
    CUnitLock held("127.0.0.1", server.Port());
    ASSERT_TRUE(held.Held()) << held.Error();
    const std::string u = Unit() + " --yes ", d = dir.path.string() + "/";
    const std::string unit = "127.0.0.1:" + std::to_string(server.Port());
    for (const std::string& command : {"program-eeprom 2 " + d + "tr52K_dp.bin",
                                       "--dsp-wait-step-ms 1 flash-dsp 1 " + d + "TR52K1_DSP1_v1.bin",
                                       std::string("select-eeprom 3"), std::string("mode 2"),
                                       "--json program-eeprom 2 " + d + "tr52K_dp.bin"}) {
        SCOPED_TRACE(command);
        const ToolRun r = Tr52k(u + command);
        EXPECT_EQ(r.code, 4) << r.out;
        EXPECT_NE(r.out.find("Another update on this machine is writing to the unit at " + unit + "."),
                  std::string::npos) << r.out;
    }
    [&] {
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        EXPECT_TRUE(sim.m_commandCounts.empty());
    }();
    EXPECT_EQ(Tr52k(Unit() + " turn-off status").code, 0);
}
TEST_F(Cli, InfoShowsOnlyTheReadsTheUnitAnswered) {
    // The device information reads pages 20 to 24 (0x2009 #1 to #5), then the directory page 2 (#6).
    Fault("drop:0x2009@6*1");
    std::string err;
    ToolRun r = Apart("--timeout 300 info", &err);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("Serial Number:              00AB-005"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("EEPROM_0"), std::string::npos) << r.out;  // no directory of zeros
    EXPECT_NE(err.find("did not answer the read of the EEPROM directory"), std::string::npos) << err;
    Fault("drop:0x2009@13*1");  // the same read of the second run
    r = Apart("--timeout 300 --json info", &err);
    const auto unit = nlohmann::json::parse(r.out).at("units").at(0);
    EXPECT_FALSE(unit.contains("currentEeprom"));
    EXPECT_TRUE(unit.contains("serialNumber"));
    // A directory word that names no EEPROM is shown as read, never as one.
    [&] { std::lock_guard<std::mutex> lock(sim.m_mutex); sim.m_currentEeprom = 12; }();
    const auto odd = nlohmann::json::parse(Apart("--timeout 300 --json info", &err).out).at("units").at(0);
    EXPECT_FALSE(odd.contains("currentEeprom")) << odd.dump();
    EXPECT_EQ(odd.value("currentEepromWord", 0), 12);
}

TEST_F(Cli, JsonOfAnUpdateHoldsTheConfirmedStepsAndTheImageDigest) {
    std::vector<uint8_t> image(3000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 7);
    const std::string path = WriteFile(dir / "tr52K_dp.bin", image);
    std::string err;
    ToolRun r = Apart("--timeout 300 --yes --json program-eeprom 4 " + path, &err);
    EXPECT_EQ(r.code, 0) << r.out << err;
    auto unit = nlohmann::json::parse(r.out).at("units").at(0);
    EXPECT_EQ(unit.at("result"), "completed");
    EXPECT_EQ(unit.at("sha256"), Sha256Hex(image.data(), image.size()));
    EXPECT_EQ(unit.at("size"), 3000);
    EXPECT_EQ(unit.at("pages"), 12);
    EXPECT_EQ(unit.at("pagesAcknowledged"), 12);
    EXPECT_EQ(unit.at("currentEeprom"), 4);
    EXPECT_EQ(unit.at("modeBefore"), 1);
    EXPECT_TRUE(unit.at("eraseCompleted").get<bool>() && unit.at("selectAcknowledged").get<bool>() &&
                unit.at("modeRestored").get<bool>());

    // The mode read before the erase went unanswered: no mode (least of all
    // mode 0) is sent afterwards, and the run says so.
    Fault("drop:0x2000@2*1");
    r = Apart("--timeout 300 --yes --json program-eeprom 4 " + path, &err);
    EXPECT_EQ(r.code, 1);
    unit = nlohmann::json::parse(r.out).at("units").at(0);
    EXPECT_EQ(unit.at("result"), "mode-unknown");
    EXPECT_FALSE(unit.contains("modeBefore"));
    EXPECT_EQ(Count(0x1000), 1);  // only the first run's
}
}  // namespace
