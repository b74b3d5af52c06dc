// The list of units: what a targets file yields or why it is refused, when
// two entries are one unit, and which addresses are on this machine.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "cli/TargetList.h"
#include "support/NameLookup.h"
#include "support/ScratchDir.h"

namespace fs = std::filesystem;

namespace {
using Targets = std::vector<std::string>;

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

TEST(TargetList, OneUnitWrittenTwoWaysHasOneKey) {
    using target_list::UnitKey;
    const struct {
        std::string a;
        uint16_t portA;
        std::string b;
        uint16_t portB;
        bool same;
    } cases[] = {
        {"127.0.0.1", 5000, "127.0.0.1", 5000, true},
        {"::1", 5000, "0:0:0:0:0:0:0:1", 5000, true},
        {"Rack-Unit.example", 5000, "rack-unit.EXAMPLE", 5000, true},
        {"127.0.0.1", 5000, "127.0.0.1", 5001, false},
        {"127.0.0.1", 5000, "127.0.0.2", 5000, false},
        {"unit-a", 5000, "unit-b", 5000, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UnitKey(c.a, c.portA) == UnitKey(c.b, c.portB), c.same) << c.a << " / " << c.b;
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
