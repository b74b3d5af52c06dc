// The plan of a run, made before any unit is touched: every text that names
// no unit, one unit named twice, a trace file that is no regular file, an
// image that cannot be one, and the short DSP write wait for anything but
// this machine, each refused with its words; what a targets file yields, and
// which addresses are on this machine. No program runs and nothing is sent
// here: the refusals are computed, not tried.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "cli/Phases.h"
#include "cli/TargetList.h"
#include "support/NameLookup.h"
#include "support/ScratchDir.h"

namespace fs = std::filesystem;

namespace {
using Targets = std::vector<std::string>;

// The command line's plan: the refusal's message, or "" and the units.
std::string Plan(std::vector<std::string> args, std::vector<std::string>* units = nullptr) {
    args.insert(args.begin(), "tr52k");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    CCommandLine line;
    if (auto exit = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &line))
        return "command line ended with " + std::to_string(*exit);
    std::vector<CJobRequest> requests;
    auto refusal = CheckImageArgument(line.base);
    if (!refusal) refusal = PlanRequests(line, &requests);
    if (refusal) {
        EXPECT_EQ(refusal->code, EExitCode::BadArgument);
        return refusal->message;
    }
    for (const auto& r : requests) if (units) units->push_back(r.unit);
    return "";
}

TEST(Plan, WhatCannotNameAUnitOrAnImageIsRefusedWithItsReason) {
    const ScratchDir dir{"tr52k-plan"};
    const std::string d = dir.path.string() + "/";
    for (const char* name : {"TR52K1_DSP1_folder.bin", "tr52K_folder.bin", "trace-folder"}) fs::create_directories(dir / name);
    // A FIFO nobody writes to would hold an open() for ever.
    for (const char* name : {"TR52K1_DSP1_fifo.bin", "tr52K_fifo.bin", "trace.fifo", "multi.log.127.0.0.1:1"})
        ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0);
    WriteFile(dir / "empty.txt", {});
    WriteFile(dir / "one.txt", {'1', '2', '7', '.', '0', '.', '0', '.', '1', ':', '5', '0', '0', '1', '\n'});
    const std::string dsp1 = WriteFile(dir / "TR52K1_DSP1_v3.bin", std::vector<uint8_t>(700, 1));
    const std::string dsp2 = WriteFile(dir / "TR52K1_DSP2_a.bin", std::vector<uint8_t>(10, 1));
    const std::string big = WriteFile(dir / "TR52K1_DSP2_big.bin", std::vector<uint8_t>(786433, 1));
    const std::string upper = WriteFile(dir / "TR52K_x.bin", std::vector<uint8_t>(10, 1));
    const std::string u = "127.0.0.1:5001", waitShort = "--dsp-wait-step-ms";
    const std::string notLoopback = "--dsp-wait-step-ms is for rehearsals against the simulator on this machine; '";
    using Args = std::vector<std::string>;
    const struct { Args args; std::string message; } cases[] = {
        {{"-t", "", "ping"}, "bad target '': no address"},
        {{"-t", "192.168.1.300", "ping"}, "bad target '192.168.1.300': not an IPv4 address"},
        {{"-t", "10.0.0", "ping"}, "bad target '10.0.0': not an IPv4 address"},
        {{"-t", "127.0.0.1:99999", "ping"}, "the port must be a number from 1 to 65535"},
        {{"-t", "127.0.0.1:", "ping"}, "the port is missing"},
        {{"-t", "127.0.0.1:http", "ping"}, "the port must be a number"},
        {{"-t", "[::1", "ping"}, "no ']'"},
        {{"-t", "[fe80::zz]:5000", "ping"}, "not an IPv6 address"},
        {{"-t", "[::1]x", "ping"}, "only \":PORT\" may follow ']'"},
        {{"-t", std::string(300, 'a'), "ping"}, "300 characters; at most 259 are accepted"},
        {{"-t", "\x1B[31mred", "ping"}, "a host name holds no spaces, control characters or '/'"},
        {{"-t", "unit\xFF", "ping"}, "a host name is ASCII"},
        {{"-t", "rack\\unit", "ping"}, "a host name holds no '\\'"},
        // One unit, two spellings: two connections would interleave two updates in it.
        {{"-t", u, "-t", u, "ping"}, "'" + u + "' and '" + u + "' name the same unit; give each unit once"},
        {{"--port", "5001", "-t", "127.0.0.1", "-t", u, "ping"}, "'127.0.0.1' and '" + u + "' name the same unit"},
        {{"-t", "[::1]:5001", "-t", "[0:0::1]:5001", "ping"}, "'[::1]:5001' and '[0:0::1]:5001' name the same unit"},
        {{"-t", "Rack-Unit.example", "-t", "rack-unit.EXAMPLE", "ping"}, "name the same unit"},
        {{"-t", u, "--targets-file", d + "one.txt", "ping"}, "name the same unit"},
        // An empty list must not fall back to the saved address.
        {{"--targets-file", d + "empty.txt", "ping"}, "cannot use the targets file " + d + "empty.txt: it names no unit"},
        // The short write wait would leave a real unit's flash unfinished.
        {{"-t", "10.0.0.5", waitShort, "0", "flash-dsp", "1", dsp1}, notLoopback + "10.0.0.5' is not a loopback address"},
        {{"-t", "10.0.0.5:5000", waitShort, "0", "flash-dsp", "1", dsp1}, notLoopback + "10.0.0.5:5000'"},
        {{"-t", u, "-t", "10.0.0.5", waitShort, "0", "flash-dsp", "1", dsp1}, notLoopback + "10.0.0.5'"},
        {{"-t", u, "--trace", d + "trace.fifo", "ping"},
         "cannot write the trace file " + d + "trace.fifo: it is a FIFO (named pipe), not a regular file"},
        {{"-t", u, "--trace", "/dev/null", "ping"}, "cannot write the trace file /dev/null: it is a character device"},
        {{"-t", u, "--trace", d + "trace-folder", "ping"}, "it is a folder, not a regular file"},
        // With several units each has FILE.<address>, and each is checked.
        {{"-t", u, "-t", "127.0.0.1:1", "--trace", d + "multi.log", "ping"},
         "cannot write the trace file " + d + "multi.log.127.0.0.1:1: it is a FIFO"},
        {{"-t", u, "flash-dsp", "1", d + "TR52K1_DSP1_folder.bin"}, ": it is a folder, not a regular file"},
        {{"-t", u, "program-eeprom", "2", d + "tr52K_folder.bin"}, ": it is a folder, not a regular file"},
        {{"-t", u, "flash-dsp", "1", d + "TR52K1_DSP1_fifo.bin"}, "it is a FIFO (named pipe), not a regular file"},
        {{"-t", u, "program-eeprom", "2", d + "tr52K_fifo.bin"}, "it is a FIFO (named pipe), not a regular file"},
        {{"-t", u, "flash-dsp", "1", "/dev/null"}, "cannot read /dev/null: it is a character device, not a regular file"},
        {{"-t", u, "program-eeprom", "2", "/dev/zero"}, "it is a character device, not a regular file"},
        {{"-t", u, "flash-dsp", "1", d + "missing/TR52K1_DSP1_x.bin"}, "(No such file or directory)"},
        {{"-t", u, "flash-dsp", "1", dsp2}, "File chosen is not a valid file for DSP1"},
        {{"-t", u, "flash-dsp", "2", big}, "786433 bytes, more than the 786432 a DSP holds"},
        {{"-t", u, "program-eeprom", "1", upper}, "the path must hold tr52K"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args.back());
        const std::string message = Plan(c.args);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_FALSE(c.message.empty());
    }
    // Nothing is made on the way, not even the trace file of the unit that was fine.
    EXPECT_FALSE(fs::exists(dir / "multi.log.127.0.0.1:5001"));
}

TEST(Plan, EachUnitNamedOnceBecomesARequestAndTheShortWaitIsForLoopback) {
    const ScratchDir dir{"tr52k-plan"};
    const std::string image = WriteFile(dir / "TR52K1_DSP1_v3.bin", std::vector<uint8_t>(700, 1));
    const std::string full = WriteFile(dir / "TR52K1_DSP2_full.bin", std::vector<uint8_t>(786432, 1));
    const ScopedEnvironment settings("TR52K_REGISTRY_FILE", nullptr);  // as it was after this test
    UseLoopbackSettings(dir / "registry.reg", "127.0.0.9:5001");
    const struct { std::vector<std::string> args, units; } cases[] = {
        // Without a target, the address the dialog saved, or the dialog's own
        // argument for it; never the built-in default while either is there.
        {{"ping"}, {"127.0.0.9:5001"}},
        {{"ping", "ETHERNET_IP_ADDR=127.0.0.10:5002"}, {"127.0.0.10:5002"}},
        {{"-t", "127.0.0.1:5001", "flash-dsp", "2", full}, {"127.0.0.1:5001"}},  // exactly what a DSP holds
        {{"-t", "127.0.0.1:5001", "-t", "127.0.0.1", "--port", "5002", "ping"}, {"127.0.0.1:5001", "127.0.0.1:5002"}},
        {{"-t", "[::1]:5001", "-t", "::1", "ping"}, {"[::1]:5001", "[::1]:5000"}},
        {{"-t", "127.0.0.1:5001", "--dsp-wait-step-ms", "0", "flash-dsp", "1", image}, {"127.0.0.1:5001"}},
        {{"-t", "[::1]:5001", "--dsp-wait-step-ms", "0", "flash-dsp", "1", image}, {"[::1]:5001"}},
        {{"ping", "-t", "127.0.0.9"}, {"127.0.0.9:5000"}},  // options after the command too
        {{"-t", "127.0.0.1", "-t", "127.0.0.2", "-t", "unit-a", "-t", "unit-b", "ping"},
         {"127.0.0.1:5000", "127.0.0.2:5000", "unit-a:5000", "unit-b:5000"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> units;
        EXPECT_EQ(Plan(c.args, &units), "");
        EXPECT_EQ(units, c.units);
    }
    // A loopback name counts only where the system resolves it.
    if (const std::string why = UnresolvedNameReason("localhost"); !why.empty()) GTEST_SKIP() << why;
    EXPECT_EQ(Plan({"-t", "localhost:5001", "--dsp-wait-step-ms", "0", "flash-dsp", "1", image}), "");
}

TEST(TargetList, TargetsFileYieldsItsAddressesOrWhyItCannot) {
    const ScratchDir dir{"tr52k-targets"};
    fs::create_directories(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // nobody writes: opening it would wait for ever
    const struct {
        std::string name, content;  // content "-": the path is as made above
        Targets targets;
        std::string why;
    } cases[] = {
        {"list", "\xEF\xBB\xBF" "10.0.0.1\r\n# rack 2\n\n  10.0.0.2:5001 \t\n[::1]:5002", {"10.0.0.1", "10.0.0.2:5001", "[::1]:5002"}, ""},
        {"empty", "", {}, "it names no unit"},
        {"comments", "# rack 1\n   \n\t# rack 2\r\n", {}, "it names no unit"},
        {"folder", "-", {}, "it is a folder, not a regular file"},
        {"fifo", "-", {}, "it is a FIFO (named pipe), not a regular file"},
        {"missing", "-", {}, "No such file or directory"},
        {"huge", std::string(target_list::kMaxTargetsFileBytes + 1, '#'), {}, "larger than a list of units can be"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.content != "-") WriteFile(dir / c.name, std::vector<uint8_t>(c.content.begin(), c.content.end()));
        Targets targets = {"given"};
        std::string why;
        EXPECT_EQ(target_list::ReadTargetsFile((dir / c.name).string(), &targets, &why), c.why.empty());
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        Targets expected = {"given"};  // added to what was there; nothing on failure
        expected.insert(expected.end(), c.targets.begin(), c.targets.end());
        EXPECT_EQ(targets, expected);
    }
}

TEST(TargetList, OnlyAddressesOnThisMachineAreLoopback) {
    // Numeric addresses and "localhost" only: nothing here asks a name server.
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true},        {"127.255.255.254", true},  {"::1", true},
        {"::ffff:127.0.0.1", true}, {"10.0.0.5", false},        {"126.255.255.255", false},
        {"128.0.0.1", false},       {"0.0.0.0", false},         {"::", false},
        {"::ffff:10.0.0.5", false}, {"fe80::1", false},         {"192.168.1.100", false},
    };
    for (const auto& [host, loopback] : cases) EXPECT_EQ(target_list::IsLoopbackHost(host), loopback) << host;
    // The name needs the system to resolve it; the rows above do not.
    if (const std::string why = UnresolvedNameReason("localhost"); !why.empty()) GTEST_SKIP() << why;
    EXPECT_TRUE(target_list::IsLoopbackHost("localhost"));
}
}  // namespace
