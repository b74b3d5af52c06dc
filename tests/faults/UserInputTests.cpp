// What a user may hand the built tool: image paths with spaces and non-ASCII
// characters, files it may not read or that change while read, input it
// refuses, texts with control characters or bytes that are not UTF-8. Each
// gets a clear message and an exit code of its own, nothing is written to
// the unit unless the input is sound, and nothing hangs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "sim/SimServer.h"
#include "support/NameLookup.h"
#include "support/ScratchDir.h"
#include "support/SimUnit.h"
#include "support/ToolRun.h"

namespace fs = std::filesystem;

namespace {
struct UserInput : SimUnitTest {
    UserInput() : SimUnitTest("tr52k-input") {
        // Open to the other user the tool may run as.
        fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    }

    std::string Port() const { return std::to_string(server.Port()); }
    std::string Unit() const { return "--target 127.0.0.1 --port " + Port(); }
    // The tool's output and errors together, --yes given. As another user
    // (nobody) when asked and the tests run as root, whom file permissions do
    // not stop. Killed after two minutes, so a run that hangs fails the test.
    ToolRun Tool(const std::string& args, bool asNobody = false) const { return Unconfirmed("--yes " + args, asNobody); }
    ToolRun Unconfirmed(const std::string& args, bool asNobody = false) const {
        const bool drop = asNobody && ::geteuid() == 0;
        return RunCommand(std::string("timeout -s KILL 120 ") +
                          (drop ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") + TR52K_CLI_BINARY +
                          " " + args + " 2>&1 </dev/null");
    }
    std::vector<uint8_t> Bytes(size_t size) const {
        std::vector<uint8_t> v(size);
        for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 13 + 7);
        return v;
    }
    fs::path Image(const fs::path& relative, size_t size) const { return WriteFile(dir / relative, Bytes(size)); }
};

TEST_F(UserInput, PathsWithSpacesAndNonAsciiCharactersWork) {
    const fs::path dsp = Image("Firmware Übergabe 2026/TR52K1_DSP1_v2 final é.bin", 1000);
    const fs::path eeprom = Image("Firmware Übergabe 2026/tr52K_dp ü 7.bin", 1000);
    // By its host name where the system resolves it.
    const std::string host = UnresolvedNameReason("localhost").empty() ? "localhost" : "127.0.0.1";
    ToolRun r = Tool("-t " + host + ":" + Port() + " --dsp-wait-step-ms 1 flash-dsp 1 " + ShellQuoted(dsp.string()));
    EXPECT_EQ(r.code, 0) << r.out;
    r = Tool(Unit() + " program-eeprom 6 " + ShellQuoted(eeprom.string()));
    EXPECT_EQ(r.code, 0) << r.out;
    std::vector<uint8_t> expected = Bytes(1000);
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    EXPECT_EQ(sim.m_dspImages[0], expected);
    expected.resize(1024, 0xFF);
    EXPECT_EQ(sim.m_eeproms[6], expected);
}

// What each refusal says is the plan's own test; here, that a refused run
// ends with exit code 2 and writes nothing, also as another user and when
// the file fails only while it is read.
TEST_F(UserInput, RefusedInputReachesNothing) {
    for (const char* name : {"TR52K1_DSP1_locked.bin", "tr52K_locked.bin"})
        fs::permissions(Image(name, 500), fs::perms::none);
    std::ofstream(dir / "locked.txt") << "127.0.0.1:" << Port() << "\n";
    fs::permissions(dir / "locked.txt", fs::perms::none);
    // A /proc file reports 0 bytes, then has more: it changes while read.
    for (const char* name : {"TR52K1_DSP1_growing.bin", "tr52K_growing.bin"})
        fs::create_symlink("/proc/self/status", dir / name);
    ASSERT_EQ(::mkfifo((dir / ("multi.log.127.0.0.1:1")).c_str(), 0600), 0);
    const std::string d = dir.path.string() + "/", u = Unit() + " ";
    const struct {
        std::string args, message;
        bool asNobody = false, confirmed = true;
    } cases[] = {
        {u + "flash-dsp 1 " + d + "TR52K1_DSP1_locked.bin", "(Permission denied)", true},
        {u + "program-eeprom 2 " + d + "tr52K_locked.bin", "(Permission denied)", true},
        {"--targets-file " + d + "locked.txt ping", "cannot use the targets file " + d + "locked.txt: Permission denied",
         true},
        {u + "flash-dsp 1 " + d + "TR52K1_DSP1_growing.bin",
         "could not be read: CFileException.m_cause = endOfFile.; nothing was written"},
        {u + "program-eeprom 2 " + d + "tr52K_growing.bin",
         d + "tr52K_growing.bin could not be read: CFileException.m_cause = endOfFile.; nothing was written"},
        // Refused before the question that, unanswered, would end the run too.
        {u + "flash-dsp 1 " + Image("TR52K1_DSP2_a.bin", 10).string(), "File chosen is not a valid file for DSP1", false, false},
        {"-t 127.0.0.1:" + Port() + " -t 127.0.0.1:" + Port() + " ping", "name the same unit"},
        {"-t 127.0.0.1:99999 ping", "bad target '127.0.0.1:99999'"},
        {"-t 127.0.0.1:" + Port() + " -t 127.0.0.1:1 --trace " + d + "multi.log ping", "multi.log.127.0.0.1:1: it is a FIFO"},
    };
    for (const auto& c : cases) {
        const ToolRun r = c.confirmed ? Tool(c.args, c.asNobody) : Unconfirmed(c.args, c.asNobody);
        EXPECT_EQ(r.code, 2) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
    EXPECT_FALSE(fs::exists(dir / ("multi.log.127.0.0.1:" + Port())));
    // Only the two files that fail while read got as far as the unit's
    // serial; no image was read, so no update went into the history.
    EXPECT_EQ(server.m_clients.load(), 2);
    EXPECT_EQ(Slurp(dir / "history.jsonl"), "");
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    for (uint16_t update : {0x1001, 0x1020, 0x1021, 0x1022, 0x1024}) EXPECT_EQ(sim.m_commandCounts.count(update), 0u);
    EXPECT_EQ(sim.m_eeproms[2].size(), 4096u);  // not erased
}

TEST_F(UserInput, ControlCharactersFromTheUnitOrTheUserReachTheTerminalEscaped) {
    // A device id that clears the screen, sets the window title, and hides behind DEL and a C1 CSI.
    [&] {
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        sim.m_deviceId = std::string("\x1B[2J\x1B]0;x\x07\x9B" "1m\x7F\rK");  // all 16 characters
    }();
    const std::string escape = "\x1B";
    const ToolRun info = Tool(Unit() + " info");
    EXPECT_EQ(info.code, 0) << info.out;
    EXPECT_NE(info.out.find("Device ID:                  \\x1B[2J\\x1B]0;x\\x07\\x9B1m\\x7F\\x0DK"), std::string::npos)
        << info.out;
    // With --json the id comes through exactly, written with JSON's own escapes.
    const ToolRun json = Tool(Unit() + " --json info");
    EXPECT_EQ(json.code, 0) << json.out;
    EXPECT_EQ(nlohmann::json::parse(json.out).at("units").at(0).at("deviceId"),
              "\x1B[2J\x1B]0;x\x07\xC2\x9B" "1m\x7F\rK");

    // Typed by the user: a target and a path, both quoted back in messages.
    const ToolRun target = Tool("-t " + ShellQuoted(escape + "[31mred") + " ping");
    EXPECT_EQ(target.code, 2);
    EXPECT_NE(target.out.find("bad target '\\x1B[31mred': a host name holds no spaces, control characters or '/'"),
              std::string::npos)
        << target.out;
    const std::string path = (dir / ("tr52K_" + escape + "]0;owned\x07.bin")).string();
    const ToolRun file = Tool(Unit() + " program-eeprom 2 " + ShellQuoted(path));
    EXPECT_EQ(file.code, 2);
    EXPECT_NE(file.out.find("tr52K_\\x1B]0;owned\\x07.bin (No such file or directory)"), std::string::npos) << file.out;
    for (const ToolRun* r : {&info, &json, &target, &file})
        for (unsigned char c : r->out)
            EXPECT_TRUE((c >= 0x20 && c != 0x7F) || c == '\n' || c == '\t') << int(c) << " in " << r->out;
}

TEST_F(UserInput, BytesThatAreNotUtf8StillGiveOneJsonDocument) {
    // The path reaches the unit's result (the file changes while read); the
    // target is refused before any unit is touched. Both are quoted back.
    const std::string growing = (dir / "tr52K_\xFF\xFE.bin").string(), missing = (dir / "tr52K_\xC3.bin").string();
    fs::create_symlink("/proc/self/status", growing);
    const struct {
        std::string args;
        int code;
        std::string error;
    } cases[] = {
        {Unit() + " --json program-eeprom 2 " + ShellQuoted(growing), 2, "tr52K_\\xFF\\xFE.bin could not be read"},
        {Unit() + " --json program-eeprom 2 " + ShellQuoted(missing), 2, "tr52K_\\xC3.bin (No such file or directory)"},
        {"--json -t " + ShellQuoted("unit\xFF") + " ping", 2, "bad target 'unit\\xFF': a host name is ASCII"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const ToolRun r = Tool(c.args);
        EXPECT_EQ(r.code, c.code) << r.out;
        nlohmann::json doc;
        ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;  // the whole output, one document
        EXPECT_EQ(doc.at("exitCode"), c.code);
        const nlohmann::json& error = doc.at("units").empty() ? doc.at("error") : doc.at("units").at(0).at("error");
        EXPECT_NE(error.get<std::string>().find(c.error), std::string::npos) << error;
    }
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    EXPECT_EQ(sim.m_eeproms[2].size(), 4096u);  // not erased
}
}  // namespace
