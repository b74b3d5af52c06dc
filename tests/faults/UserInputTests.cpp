// What a user may hand the tool: image paths with spaces and non-ASCII
// characters, folders, FIFOs and devices, unreadable files, files whose size
// changes while read, addresses that name no unit, lists of units that name
// none or one twice, texts with control characters or bytes that are not
// UTF-8. Each gets a clear message and an exit code of its own, nothing
// reaches the unit unless the input is sound, and nothing hangs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "sim/SimServer.h"
#include "support/NameLookup.h"
#include "support/ScratchDir.h"
#include "support/ToolRun.h"

namespace fs = std::filesystem;

namespace {
struct UserInput : ::testing::Test {
    const ScratchDir dir{"tr52k-input"};
    CUnitSimulator sim;
    CSimServer server{sim};

    UserInput() {
        // Open to the other user the tool may run as.
        fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        sim.m_eraseMs = 20;
        server.Start(0);
        // The saved address is this simulator: a run that fell back to it
        // instead of refusing would show as a client.
        UseLoopbackSettings(dir / "registry.reg", "127.0.0.1:" + std::to_string(server.Port()));
        ::setenv("TR52K_HISTORY_FILE", (dir / "history.jsonl").c_str(), 1);
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
    void ExpectNothingReachedTheUnit() {
        EXPECT_EQ(server.m_clients.load(), 0);
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        EXPECT_TRUE(sim.m_commandCounts.empty());
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
    ToolRun r = Tool(Unit() + " --dsp-wait-step-ms 1 flash-dsp 1 " + ShellQuoted(dsp.string()));
    EXPECT_EQ(r.code, 0) << r.out;
    r = Tool(Unit() + " program-eeprom 6 " + ShellQuoted(eeprom.string()));
    EXPECT_EQ(r.code, 0) << r.out;
    std::vector<uint8_t> expected = Bytes(1000);
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    EXPECT_EQ(sim.m_dspImages[0], expected);
    expected.resize(1024, 0xFF);
    EXPECT_EQ(sim.m_eeproms[6], expected);
}

TEST_F(UserInput, ImagesThatCannotBeReadReachNothing) {
    // A folder named like an image; a file nobody may read; a file whose size
    // changes while it is read (a /proc file reports 0 bytes, then has more).
    for (const char* name : {"TR52K1_DSP1_folder.bin", "tr52K_folder.bin"}) fs::create_directories(dir / name);
    for (const char* name : {"TR52K1_DSP1_locked.bin", "tr52K_locked.bin"})
        fs::permissions(Image(name, 500), fs::perms::none);
    for (const char* name : {"TR52K1_DSP1_growing.bin", "tr52K_growing.bin"})
        fs::create_symlink("/proc/self/status", dir / name);

    const struct {
        std::string command, file, message;
        bool asNobody;
    } cases[] = {
        {"flash-dsp 1", "TR52K1_DSP1_folder.bin", ": it is a folder, not a regular file", false},
        {"program-eeprom 2", "tr52K_folder.bin", ": it is a folder, not a regular file", false},
        {"flash-dsp 1", "TR52K1_DSP1_locked.bin", "(Permission denied)", true},
        {"program-eeprom 2", "tr52K_locked.bin", "(Permission denied)", true},
        {"flash-dsp 1", "TR52K1_DSP1_growing.bin",
         "could not be read: CFileException.m_cause = endOfFile.; nothing was written", false},
        {"program-eeprom 2", "tr52K_growing.bin",
         (dir / "tr52K_growing.bin").string() + " could not be read: CFileException.m_cause = endOfFile.; nothing was "
                                                "written",
         false},
        {"flash-dsp 1", "missing/TR52K1_DSP1_x.bin", "(No such file or directory)", false},
    };
    for (const auto& c : cases) {
        const ToolRun r = Tool(Unit() + " " + c.command + " " + (dir / c.file).string(), c.asNobody);
        EXPECT_EQ(r.code, 2) << c.file << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    for (uint16_t update : {0x1001, 0x1020, 0x1021, 0x1022, 0x1024}) EXPECT_EQ(sim.m_commandCounts.count(update), 0u);
    EXPECT_EQ(sim.m_eeproms[2].size(), 4096u);  // not erased
}

TEST_F(UserInput, AddressesThatNameNoUnitAreRefusedBeforeAnyTraffic) {
    const std::string longName(300, 'a');
    const std::pair<std::string, const char*> cases[] = {
        {"", "no address"},
        {"192.168.1.300", "not an IPv4 address"},
        {"10.0.0", "not an IPv4 address"},
        {"127.0.0.1:99999", "the port must be a number from 1 to 65535"},
        {"127.0.0.1:", "the port is missing"},
        {"127.0.0.1:http", "the port must be a number"},
        {"[::1", "no ']'"},
        {"[fe80::zz]:5000", "not an IPv6 address"},
        {"[::1]x", "only \":PORT\" may follow ']'"},
        {longName, "300 characters; at most 259 are accepted"},
    };
    for (const auto& [target, why] : cases) {
        const ToolRun r = Tool("--target " + ShellQuoted(target) + " ping");
        EXPECT_EQ(r.code, 2) << target;
        EXPECT_NE(r.out.find("bad target '" + target + "': " + why), std::string::npos) << r.out;
    }
    // A host name and the address:port form reach the unit.
    if (const std::string why = UnresolvedNameReason("localhost"); !why.empty()) GTEST_SKIP() << why;
    EXPECT_EQ(Tool("--target localhost:" + std::to_string(server.Port()) + " ping").code, 0);
    EXPECT_EQ(server.m_clients.load(), 1);
}
TEST_F(UserInput, PathsThatAreNoRegularFileAreRefusedWithoutOpeningThem) {
    // A FIFO nobody writes to would hold an open() for ever; a device is no image.
    for (const char* name : {"TR52K1_DSP1_fifo.bin", "tr52K_fifo.bin", "trace.fifo", "multi.log.127.0.0.1:1"})
        ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0);
    const std::string d = dir.path.string() + "/";
    const std::pair<std::string, std::string> cases[] = {
        {Unit() + " flash-dsp 1 " + d + "TR52K1_DSP1_fifo.bin", "it is a FIFO (named pipe), not a regular file"},
        {Unit() + " program-eeprom 2 " + d + "tr52K_fifo.bin", "it is a FIFO (named pipe), not a regular file"},
        {Unit() + " flash-dsp 1 /dev/null", "cannot read /dev/null: it is a character device, not a regular file"},
        {Unit() + " program-eeprom 2 /dev/zero", "it is a character device, not a regular file"},
        {Unit() + " --trace " + d + "trace.fifo ping",
         "cannot write the trace file " + d + "trace.fifo: it is a FIFO (named pipe), not a regular file"},
        {Unit() + " --trace /dev/null ping", "cannot write the trace file /dev/null: it is a character device"},
        {Unit() + " --trace " + d + " ping", "it is a folder, not a regular file"},
        // With several units each has FILE.<address>, and each is checked before any unit is touched.
        {"-t 127.0.0.1:" + Port() + " -t 127.0.0.1:1 --trace " + d + "multi.log ping",
         "cannot write the trace file " + d + "multi.log.127.0.0.1:1: it is a FIFO"},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun r = Tool(args);
        EXPECT_EQ(r.code, 2) << args << "\n" << r.out;
        EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
    }
    EXPECT_FALSE(fs::exists(dir / ("multi.log.127.0.0.1:" + Port())));
    ExpectNothingReachedTheUnit();
}

TEST_F(UserInput, UnitListsThatNameNoUnitOrOneUnitTwiceAreRefused) {
    // An empty list must not mean "the saved address": the registry names
    // the simulator, so a fallback would reach it. What else makes a list
    // unusable is the list's own test; here, that a refusal reaches nothing.
    WriteFile(dir / "empty.txt", {});
    std::ofstream(dir / "locked.txt") << "127.0.0.1:" << Port() << "\n";
    fs::permissions(dir / "locked.txt", fs::perms::none);
    std::ofstream(dir / "one.txt") << "127.0.0.1:" << Port() << "\n";
    const std::string d = dir.path.string() + "/", p = Port();
    const struct {
        std::string args, message;
        bool asNobody;
    } cases[] = {
        {"--targets-file " + d + "empty.txt", "cannot use the targets file " + d + "empty.txt: it names no unit", false},
        {"--targets-file " + d + "locked.txt", "cannot use the targets file " + d + "locked.txt: Permission denied", true},
        {"-t 127.0.0.1:" + p + " -t 127.0.0.1:" + p,
         "'127.0.0.1:" + p + "' and '127.0.0.1:" + p + "' name the same unit; give each unit once", false},
        {"--port " + p + " -t 127.0.0.1 -t 127.0.0.1:" + p, "'127.0.0.1' and '127.0.0.1:" + p + "' name the same unit", false},
        {"-t 127.0.0.1:" + p + " --targets-file " + d + "one.txt", "name the same unit", false},
        {"-t '[::1]:" + p + "' -t '[0:0::1]:" + p + "'", "'[::1]:" + p + "' and '[0:0::1]:" + p + "' name the same unit", false},
    };
    for (const auto& c : cases) {
        const ToolRun r = Tool(c.args + " ping", c.asNobody);
        EXPECT_EQ(r.code, 2) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
    ExpectNothingReachedTheUnit();
    // The same list with one unit in it is used.
    EXPECT_EQ(Tool("--targets-file " + d + "one.txt ping").code, 0);
}

TEST_F(UserInput, TheShortDspWriteWaitIsForTheSimulatorOnThisMachineOnly) {
    const fs::path image = Image("TR52K1_DSP1_v3.bin", 700);
    const std::string trace = (dir / "wait.log").string();
    // No --yes: were the refusal missing, the run would stop at the
    // confirmation it cannot get rather than reach 10.0.0.5.
    for (const std::string& targets : {std::string("-t 10.0.0.5"), std::string("-t 10.0.0.5:5000"),
                                       "-t 127.0.0.1:" + Port() + " -t 10.0.0.5"}) {
        const ToolRun r = Unconfirmed(targets + " --trace " + trace + " --dsp-wait-step-ms 0 flash-dsp 1 " + image.string());
        EXPECT_EQ(r.code, 2) << targets << "\n" << r.out;
        EXPECT_NE(r.out.find("tr52k: --dsp-wait-step-ms is for rehearsals against the simulator on this machine; "
                             "'10.0.0.5"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_FALSE(fs::exists(trace));
    EXPECT_FALSE(fs::exists(trace + ".127.0.0.1:" + Port()));
    ExpectNothingReachedTheUnit();

    // A loopback name counts only where the system resolves it.
    const std::string why = UnresolvedNameReason("localhost");
    for (const std::string& target : {"127.0.0.1:" + Port(), "localhost:" + Port()}) {
        if (target.rfind("localhost", 0) == 0 && !why.empty()) GTEST_SKIP() << why;
        const ToolRun r = Tool("-t " + target + " --dsp-wait-step-ms 0 flash-dsp 1 " + image.string());
        EXPECT_EQ(r.code, 0) << target << "\n" << r.out;
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        EXPECT_EQ(sim.m_dspImages[0], Bytes(700));
        sim.m_dspImages[0].clear();
    }
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
