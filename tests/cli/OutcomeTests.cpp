// What tr52k reports is what the unit confirmed: a failed step never prints
// success text or zero-filled values, and the JSON holds only confirmed facts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/Sha256.h"
#include "sim/SimServer.h"
#include "support/ScratchDir.h"
#include "support/SimUnit.h"
#include "support/ToolRun.h"

namespace {
struct Outcome : SimUnitTest {
    Outcome() : SimUnitTest("tr52k-outcome") {}
    void Fault(const std::string& rule) {
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        ASSERT_TRUE(ParseSimRule(rule, &sim.m_faults.rules.emplace_back(), nullptr)) << rule;
    }
    // stdout and stderr apart: what a script would take for the result is on stdout.
    ToolRun Tr52k(const std::string& args, std::string* err) const {
        const std::string errFile = (dir / "stderr.txt").string();
        ToolRun r = RunCommand(std::string(TR52K_CLI_BINARY) + " --target 127.0.0.1 --port " +
                               std::to_string(server.Port()) + " --timeout 300 " + args + " 2>" + errFile +
                               " </dev/null");
        *err = Slurp(errFile);
        return r;
    }
};

TEST_F(Outcome, FailedDirectCommandsPrintNothingForAResult) {
    const struct {
        const char *rule, *args, *error;
    } cases[] = {
        {"drop:0x0000", "ping", "No reply to the ping."},
        {"drop:0x1002", "turn-off status", "Turn Off Consolidated Status"},
        {"drop:0x1002@2*1", "turn-off graphs", "(second command)"},
        {"ignore:0x1024", "select-eeprom 0", "SelectFPGA_ConfigEEPROM() failed."},  // already current: still a failure
        {"noop:0x1024", "select-eeprom 5", "The unit reports EEPROM_0 as current, not EEPROM_5."},
        {"drop:0x2009@1*1", "select-eeprom 5", "the EEPROM directory could not be read back"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Fault(c.rule);
        std::string err;
        const ToolRun r = Tr52k(c.args, &err);
        EXPECT_EQ(r.code, 1) << r.out << err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        sim.m_faults.rules.clear();
        sim.m_commandCounts.clear();
    }
    std::string err;
    EXPECT_EQ(Tr52k("select-eeprom 5", &err).out, "Current EEPROM: EEPROM_5\n");
}

TEST_F(Outcome, InfoShowsOnlyTheReadsTheUnitAnswered) {
    // The device information reads pages 20 to 24 (0x2009 #1 to #5), then the directory page 2 (#6).
    Fault("drop:0x2009@6*1");
    std::string err;
    ToolRun r = Tr52k("info", &err);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("Serial Number:              00AB-005"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("EEPROM_0"), std::string::npos) << r.out;  // no directory of zeros
    EXPECT_NE(err.find("did not answer the read of the EEPROM directory"), std::string::npos) << err;
    Fault("drop:0x2009@13*1");  // the same read of the second run
    r = Tr52k("--json info", &err);
    const auto unit = nlohmann::json::parse(r.out).at("units").at(0);
    EXPECT_FALSE(unit.contains("currentEeprom"));
    EXPECT_TRUE(unit.contains("serialNumber"));
}

TEST_F(Outcome, JsonOfAnUpdateHoldsTheConfirmedStepsAndTheImageDigest) {
    std::vector<uint8_t> image(3000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 7);
    const std::string path = WriteFile(dir / "tr52K_dp.bin", image);
    std::string err;
    ToolRun r = Tr52k("--yes --json program-eeprom 4 " + path, &err);
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
    r = Tr52k("--yes --json program-eeprom 4 " + path, &err);
    EXPECT_EQ(r.code, 1);
    unit = nlohmann::json::parse(r.out).at("units").at(0);
    EXPECT_EQ(unit.at("result"), "mode-unknown");
    EXPECT_FALSE(unit.contains("modeBefore"));
    EXPECT_EQ(Count(0x1000), 1);  // only the first run's
}
}  // namespace
