// What a user may hand the tool: image paths with spaces and non-ASCII
// characters, folders, unreadable files, files whose size changes while
// read, addresses that name no unit. Each gets a clear message and an exit
// code of its own, and nothing reaches the unit unless the input is sound.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/SimServer.h"

namespace fs = std::filesystem;

namespace {
struct ToolRun {
    int code = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct UserInput : ::testing::Test {
    fs::path dir;
    CUnitSimulator sim;
    CSimServer server{sim};

    UserInput() {
        char tmpl[] = "/tmp/tr52k-input-XXXXXX";
        dir = ::mkdtemp(tmpl);
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        sim.m_eraseMs = 20;
        server.Start(0);
    }
    ~UserInput() override { fs::remove_all(dir); }

    // Runs the tool; as another user (nobody) when asked and when we may.
    ToolRun Tool(std::vector<std::string> args, bool asNobody = false, bool ownTarget = false) {
        if (!ownTarget)
            args.insert(args.begin(), {"--target", "127.0.0.1", "--port", std::to_string(server.Port())});
        args.insert(args.begin(), {TR52K_CLI_BINARY, "--yes"});
        const fs::path out = dir / "out.txt", err = dir / "err.txt";
        pid_t pid = ::fork();
        if (pid == 0) {
            int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = ::open("/dev/null", O_RDONLY);
            ::dup2(o, 1);
            ::dup2(e, 2);
            ::dup2(in, 0);
            if (asNobody && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(98);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ToolRun r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }
    fs::path Image(const fs::path& relative, size_t size) {
        fs::path p = dir / relative;
        fs::create_directories(p.parent_path());
        std::vector<uint8_t> v(size);
        for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 13 + 7);
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(v.data()), static_cast<long>(size));
        return p;
    }
    int UpdateCommands() {
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        int n = 0;
        for (uint16_t c : {0x1001, 0x1020, 0x1021, 0x1022, 0x1024}) n += sim.m_commandCounts.count(c) ? 1 : 0;
        return n;
    }
};

TEST_F(UserInput, PathsWithSpacesAndNonAsciiCharactersWork) {
    fs::path dsp = Image("Firmware Übergabe 2026/TR52K1_DSP1_v2 final é.bin", 1000);
    fs::path eeprom = Image("Firmware Übergabe 2026/tr52K_dp ü 7.bin", 1000);
    ToolRun r = Tool({"--dsp-wait-step-ms", "1", "flash-dsp", "1", dsp.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    r = Tool({"program-eeprom", "6", eeprom.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<uint8_t> expected(1000);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i * 13 + 7);
    std::lock_guard<std::mutex> lock(sim.m_mutex);
    EXPECT_EQ(sim.m_dspImages[0], expected);
    expected.resize(1024, 0xFF);
    EXPECT_EQ(sim.m_eeproms[6], expected);
}

TEST_F(UserInput, ImagesThatCannotBeReadReachNothing) {
    // A folder named like an image; a file nobody may read; a file whose size
    // changes while it is read (a /proc file reports 0 bytes, then has more).
    fs::create_directories(dir / "TR52K1_DSP1_folder.bin");
    fs::create_directories(dir / "tr52K_folder.bin");
    fs::path lockedDsp = Image("TR52K1_DSP1_locked.bin", 500), lockedEeprom = Image("tr52K_locked.bin", 500);
    fs::permissions(lockedDsp, fs::perms::none);
    fs::permissions(lockedEeprom, fs::perms::none);
    fs::create_symlink("/proc/self/status", dir / "TR52K1_DSP1_growing.bin");
    fs::create_symlink("/proc/self/status", dir / "tr52K_growing.bin");

    struct {
        std::vector<std::string> args;
        std::string message;
        bool asNobody;
    } cases[] = {
        {{"flash-dsp", "1", (dir / "TR52K1_DSP1_folder.bin").string()}, "(Is a directory)", false},
        {{"program-eeprom", "2", (dir / "tr52K_folder.bin").string()}, "(Is a directory)", false},
        {{"flash-dsp", "1", lockedDsp.string()}, "(Permission denied)", true},
        {{"program-eeprom", "2", lockedEeprom.string()}, "(Permission denied)", true},
        {{"flash-dsp", "1", (dir / "TR52K1_DSP1_growing.bin").string()},
         "could not be read: CFileException.m_cause = endOfFile.; nothing was written", false},
        {{"program-eeprom", "2", (dir / "tr52K_growing.bin").string()},
         "File Error: The image file " + (dir / "tr52K_growing.bin").string() +
             " could not be read; nothing was sent to the unit.",
         false},
        {{"flash-dsp", "1", (dir / "missing" / "TR52K1_DSP1_x.bin").string()}, "(No such file or directory)", false},
    };
    for (auto& c : cases) {
        ToolRun r = Tool(c.args, c.asNobody);
        EXPECT_EQ(r.code, 2) << c.args.back() << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(UpdateCommands(), 0);
    std::lock_guard<std::mutex> lock(sim.m_mutex);
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
        std::string cmd = std::string(TR52K_CLI_BINARY) + " --target '" + target + "' ping 2>&1 </dev/null";
        FILE* p = ::popen(cmd.c_str(), "r");
        std::string out;
        char buf[1024];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        int status = ::pclose(p);
        EXPECT_EQ(WEXITSTATUS(status), 2) << target;
        EXPECT_NE(out.find("bad target '" + target + "': " + why), std::string::npos) << out;
    }
    // A host name and the address:port form reach the unit.
    EXPECT_EQ(Tool({"--target", "localhost:" + std::to_string(server.Port()), "ping"}, false, true).code, 0);
    EXPECT_EQ(server.m_clients.load(), 1);
}
}  // namespace
