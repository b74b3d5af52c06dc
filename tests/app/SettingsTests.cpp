// Settings from the registry and the command line, with their boxes, and
// the start-up that uses them.
#include <gtest/gtest.h>

#include "support/SystemText.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "app/Settings.h"
#include "app/StartUp.h"
#include "app/UpdateHistory.h"
#include "link/MemoryDeviceLink.h"
#include "platform/DebugOutput.h"
#include "support/Environment.h"
#include "support/ScratchDir.h"

using namespace win32;

namespace {
const std::string kKey = SETTINGS_KEY_PATH, kIp = "ETHERNET_IP_ADDR", kNoInit = "NO_INIT_STATUS";

struct Settings : ::testing::Test {
    CMemoryRegistryStore registry;
    CRecordingMessageBox boxes;
    std::vector<std::string> Texts() const { return BoxTexts(boxes); }
};

TEST_F(Settings, LoadTakesStoredValuesFallsBackAndReportsEachFailure) {
    const std::string invalid = "Registry Error|RegQueryValueEx() returned:6, Meaning: " + Meaning(6, "The handle is invalid.");
    const struct {
        const char* name;
        std::function<void(CMemoryRegistryStore&)> setup;
        uint32_t result;
        std::string ip;
        uint32_t noInit;
        std::vector<std::string> boxes;
    } cases[] = {
        {"defaults", [](auto&) {}, 1, DEFAULT_TARGET_IP, 0, {}},
        {"stored", [](auto& r) { r.PutString(kKey, kIp, "10.20.30.40"); r.PutDword(kKey, kNoInit, 1); }, 1,
         "10.20.30.40", 1, {}},
        {"key refused", [](auto& r) { r.m_nCreateResult = ERROR_ACCESS_DENIED; }, 0, "", 0,
         {"Registry Error|RegCreateKeyEx() returned:5, Meaning: " + Meaning(5, "Access is denied.")}},
        // Reported; the DWORD is still used as read, the address falls back.
        {"wrong types", [](auto& r) { r.PutRaw(kKey, kNoInit, REG_BINARY, {1, 0, 0, 0}); r.PutDword(kKey, kIp, 7); },
         1, DEFAULT_TARGET_IP, 1,
         {"Registry Error|RegQueryValueEx() for REG_DWORD, Type = 3, Count = 4",
          "Registry Error|RegQueryValueEx() for REG_SZ: Type = 4, Count = 4"}},
        {"dword too short", [](auto& r) { r.PutRaw(kKey, kNoInit, REG_DWORD, {1, 0}); }, 1, DEFAULT_TARGET_IP, 1,
         {"Registry Error|RegQueryValueEx() for REG_DWORD, Type = 4, Count = 2"}},
        // 130 characters are 262 bytes with the terminator: more than the 260 offered.
        {"address too long", [](auto& r) { r.PutString(kKey, kIp, std::string(130, '9')); }, 1, "", 0,
         {"Registry Error|RegQueryValueEx() returned:234, Meaning: " + Meaning(234, "More data is available.")}},
        {"unreadable, close fails", [](auto& r) { r.m_nQueryResult = r.m_nCloseResult = ERROR_INVALID_HANDLE; }, 0,
         "", 0, {invalid, invalid, "Registry Error|RegCloseKey() returned:6, Meaning: " + Meaning(6, "The handle is invalid.")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CMemoryRegistryStore store;
        c.setup(store);
        boxes.Clear();
        CTR52K_FlashFileLoaderSettings s(store, boxes);
        EXPECT_EQ(s.LoadSettings(), c.result);
        EXPECT_EQ(s.m_strTargetIp, c.ip);
        EXPECT_EQ(s.m_bNoInitStatus, c.noInit);
        EXPECT_EQ(Texts(), c.boxes);
        EXPECT_EQ(store.m_calls.front(), "CreateKey(SOFTWARE\\Korvanex\\TR52K,0x20019)");  // read access
    }
}

TEST_F(Settings, CommandLineRules) {
    const struct {
        std::vector<std::string> args;
        std::string ip;
        uint32_t noInit;
        size_t boxes = 0;
    } cases[] = {
        {{"p", "ETHERNET_IP_ADDR=1.2.3.4"}, "10.0.0.1", 0},  // 24 characters in all: too short to be taken
        {{"p", "X_ETHERNET_IP_ADDR=10.0.0.99"}, "10.0.0.99", 0},
        {{"p", "ethernet_ip_addr=10.0.0.99", "/NO_INIT_STATUS=1"}, "10.0.0.1", 0},
        {{"p", "ETHERNET_IP_ADDR=10.1.1.20", "ETHERNET_IP_ADDR=10.1.1.21"}, "10.1.1.21", 0},
        {{"p", "NO_INIT_STATUS=1", "NO_INIT_STATUS=0"}, "10.0.0.1", 1},  // switched on, never off
        {{"ETHERNET_IP_ADDR=10.9.9.99"}, "10.0.0.1", 0},                 // the program name is not an option
        {{"p", "ETHERNET_IP_ADDR=" + std::string(259, 'h')}, std::string(259, 'h'), 0},
        {{"p", "ETHERNET_IP_ADDR=" + std::string(260, 'h')}, "10.0.0.1", 0, 1},  // refused, not cut short
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back().substr(0, 30));
        boxes.Clear();
        CTR52K_FlashFileLoaderSettings s(registry, boxes);
        s.m_strTargetIp = "10.0.0.1";  // as loaded
        s.ApplyCommandLine(c.args);
        EXPECT_EQ(s.m_strTargetIp, c.ip);
        EXPECT_EQ(s.m_bNoInitStatus, c.noInit);
        EXPECT_EQ(boxes.Boxes().size(), c.boxes);
    }
}

// Settings, one ping, then the dialog, even when the unit is silent.
TEST_F(Settings, StartUpPingsThenRunsTheDialogWithTheSettings) {
    registry.PutString(kKey, kIp, "10.0.0.1");
    std::string host;
    CMemoryDeviceLink* link = nullptr;
    auto makeLink = [&](const std::string& h, uint16_t port) {
        host = h + ":" + std::to_string(port);
        return link = new CMemoryDeviceLink(SystemClock());
    };
    std::string seen;  // what the dialog is handed
    auto dialog = [&](CTR52K1_Comm& comm, uint32_t noInit, const std::string& ip) {
        seen = ip + " noInit=" + std::to_string(noInit) + " timeout=" + std::to_string(comm.m_nResponseTimeoutMs) +
               " frames sent=" + std::to_string(link->m_writes.size());
        return -1;
    };
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped(&trace);
    EXPECT_EQ(InitInstance({"p", "ETHERNET_IP_ADDR=10.20.30.40", "NO_INIT_STATUS=1"}, registry, makeLink, dialog, boxes), -1);
    EXPECT_EQ(host, "10.20.30.40:5000");
    EXPECT_EQ(seen, "10.20.30.40 noInit=1 timeout=1000 frames sent=1");  // the one ping
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Dialog Error|Dialog could not be created"}));
}

// A socket layer that cannot start ends the program before any link or
// dialog; one that fails only its second check is reported, and start-up
// goes on to the link and the dialog.
TEST_F(Settings, SocketLayerChecksAtStartUp) {
    int links = 0, dialogs = 0;
    auto makeLink = [&](const std::string&, uint16_t) {
        ++links;
        return new CMemoryDeviceLink(SystemClock());
    };
    auto dialog = [&](CTR52K1_Comm&, uint32_t, const std::string&) {
        ++dialogs;
        return IDCANCEL;
    };
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped(&trace);
    EXPECT_EQ(InitInstance({"p"}, registry, makeLink, dialog, boxes, [] { return false; }), 0);
    EXPECT_EQ(links + dialogs, 0);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"TR52K_FlashFileLoader|Windows sockets initialization failed."}));
    EXPECT_EQ(trace.Text(), "WSAStartup() suceeded.\r\n");  // written first, whatever follows

    boxes.Clear();
    int calls = 0;
    EXPECT_EQ(InitInstance({"p"}, registry, makeLink, dialog, boxes, [&] { return ++calls == 1; }), IDCANCEL);
    EXPECT_EQ(links, 1);
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Network Error|AfxSocketInit() was not successfully started."}));
    EXPECT_EQ(boxes.Boxes().front().kind, EMessageKind::Error);
}

// A file edited by hand, with key path and value names in other cases, is
// read as the registry would read it; a save keeps the first spelling.
TEST(SettingsFile, NamesMatchWithoutRegardToCase) {
    const ScratchDir dir("tr52k-case");
    const std::string path = (dir / "registry.reg").string();
    const std::string handWritten =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\software\\KORVANEX\\tr52k]\r\n"
        "\"ethernet_ip_addr\"=\"127.0.0.9\"\r\n\"No_Init_Status\"=dword:00000001\r\n";
    WriteFile(path, std::vector<uint8_t>(handWritten.begin(), handWritten.end()));
    CFileRegistryStore registry(path);
    CRecordingMessageBox boxes;
    CTR52K_FlashFileLoaderSettings settings(registry, boxes);
    settings.LoadSettings();
    EXPECT_EQ(settings.m_strTargetIp, "127.0.0.9");
    EXPECT_EQ(settings.m_bNoInitStatus, 1u);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_NE(SaveTargetAddressToRegistry(registry, "127.0.0.10", boxes), 0u);
    RegHive hive;
    std::string error;
    const std::string text = Slurp(path);
    ASSERT_TRUE(ParseRegistryExport(text, &hive, &error)) << error;
    ASSERT_EQ(hive.size(), 1u);
    EXPECT_EQ(hive.begin()->second.size(), 2u);  // no second value beside the hand-written one
    EXPECT_NE(text.find("\"ethernet_ip_addr\""), std::string::npos) << text;
    settings.LoadSettings();
    EXPECT_EQ(settings.m_strTargetIp, "127.0.0.10");
}

const char* const kMachineFile =
    "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n"
    "\"ETHERNET_IP_ADDR\"=\"127.0.0.21\"\r\n\"NO_INIT_STATUS\"=dword:00000001\r\n";

// An ordinary user reads the machine-wide settings through a store of their
// own, and their Save lands there; the machine-wide file is only read.
TEST(UserSettings, ReadsFallBackToTheMachineAndSavesStayTheUsers) {
    const ScratchDir scratch("tr52k-user");
    const std::string machine = (scratch / "machine.reg").string(),
                      user = (scratch / "home/.config/tr52k/registry.reg").string();
    std::ofstream(machine, std::ios::binary) << kMachineFile;
    CRecordingMessageBox boxes;
    {
        CUserRegistryStore store(machine, user);
        CTR52K_FlashFileLoaderSettings settings(store, boxes);
        EXPECT_EQ(settings.LoadSettings(), 1u);
        EXPECT_EQ(settings.m_strTargetIp, "127.0.0.21");
        EXPECT_EQ(settings.m_bNoInitStatus, 1u);
        EXPECT_EQ(Slurp(user), "");  // reading creates nothing
        EXPECT_NE(SaveTargetAddressToRegistry(store, "127.0.0.22", boxes), 0u);
        EXPECT_EQ(settings.LoadSettings(), 1u);
        EXPECT_EQ(settings.m_strTargetIp, "127.0.0.22");  // the user's own first
        EXPECT_EQ(settings.m_bNoInitStatus, 1u);          // the rest still from the machine
    }
    EXPECT_EQ(Slurp(machine), kMachineFile);
    EXPECT_NE(Slurp(user).find("127.0.0.22"), std::string::npos);
    EXPECT_TRUE(boxes.Boxes().empty());
    // Neither file there: the defaults, and no box either.
    CUserRegistryStore none((scratch / "none.reg").string(), (scratch / "none/registry.reg").string());
    CTR52K_FlashFileLoaderSettings settings(none, boxes);
    EXPECT_EQ(settings.LoadSettings(), 1u);
    EXPECT_EQ(settings.m_strTargetIp, DEFAULT_TARGET_IP);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(Slurp(scratch / "none.reg"), "");
    // A machine-wide file that is corrupt is said so, not taken for a missing one.
    std::ofstream(scratch / "corrupt.reg", std::ios::binary) << std::string(64, '\x9B');
    CUserRegistryStore corrupt((scratch / "corrupt.reg").string(), (scratch / "none/registry.reg").string());
    CTR52K_FlashFileLoaderSettings fromCorrupt(corrupt, boxes);
    EXPECT_EQ(fromCorrupt.LoadSettings(), 0u);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text.rfind("RegCreateKeyEx() returned:1009,", 0), 0u) << boxes.Boxes()[0].text;
}

// The user's settings over the machine's, as on Windows: Save writes the
// machine's when it may and the user's otherwise, never with a box; what
// was saved is what is read back.
TEST(UserSettings, SaveWritesTheMachinesWhenItMayAndTheUsersOtherwise) {
    const struct {
        const char* name;
        uint32_t machineWrite;    // CreateKey for writing fails with it (0: the machine's may be written)
        const char* userBefore;   // the user's own address before, "" for none
        const char* machineAfter, *userAfter;  // "" for none
    } cases[] = {
        {"administrator", 0, "", "10.0.0.9", ""},
        {"ordinary user", ERROR_ACCESS_DENIED, "", "10.0.0.1", "10.0.0.9"},
        {"administrator with an own value", 0, "10.0.0.2", "10.0.0.9", "10.0.0.9"},
        {"ordinary user with an own value", ERROR_ACCESS_DENIED, "10.0.0.2", "10.0.0.1", "10.0.0.9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto machine = std::make_unique<CMemoryRegistryStore>();
        auto user = std::make_unique<CMemoryRegistryStore>();
        CMemoryRegistryStore& m = *machine;
        CMemoryRegistryStore& u = *user;
        m.PutString(kKey, kIp, "10.0.0.1");
        m.PutDword(kKey, kNoInit, 1);
        m.m_nCreateWriteResult = c.machineWrite;
        if (*c.userBefore) u.PutString(kKey, kIp, c.userBefore);
        CUserRegistryStore store(std::move(machine), std::move(user), true);
        CRecordingMessageBox boxes;
        CTR52K_FlashFileLoaderSettings settings(store, boxes);
        EXPECT_EQ(settings.LoadSettings(), 1u);
        EXPECT_EQ(settings.m_strTargetIp, *c.userBefore ? c.userBefore : "10.0.0.1");
        EXPECT_EQ(SaveTargetAddressToRegistry(store, "10.0.0.9", boxes), 1u);
        EXPECT_EQ(settings.LoadSettings(), 1u);
        EXPECT_EQ(settings.m_strTargetIp, "10.0.0.9");
        EXPECT_EQ(settings.m_bNoInitStatus, 1u);  // still the machine's
        EXPECT_TRUE(boxes.Boxes().empty());
        auto value = [&](CMemoryRegistryStore& st) {
            auto k = st.m_hive.find(kKey);
            if (k == st.m_hive.end() || !k->second.count(kIp)) return std::string();
            const RegValue& v = k->second.at(kIp);
            return RegSzBytesToUtf8(v.data.data(), v.data.size());
        };
        EXPECT_EQ(value(m), c.machineAfter);
        EXPECT_EQ(value(u), c.userAfter);
    }
    // Neither may be written: the box of the call that failed, as before.
    auto machine = std::make_unique<CMemoryRegistryStore>();
    auto user = std::make_unique<CMemoryRegistryStore>();
    machine->m_nCreateWriteResult = ERROR_ACCESS_DENIED;
    user->m_nCreateWriteResult = ERROR_ACCESS_DENIED;
    CUserRegistryStore store(std::move(machine), std::move(user), true);
    CRecordingMessageBox boxes;
    EXPECT_EQ(SaveTargetAddressToRegistry(store, "10.0.0.9", boxes), 0u);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Registry Error");
    EXPECT_EQ(boxes.Boxes()[0].text.rfind("RegCreateKeyEx() returned:5,", 0), 0u) << boxes.Boxes()[0].text;
}

// The same as a user who may not write the machine-wide file, in a child
// process that has given up root: no box at start, and Save works.
TEST(UserSettings, AnUnprivilegedUserStartsWithoutErrorsAndSaves) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX users and their files; on Windows the settings are the registry's";
#else
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    const ScratchDir scratch("tr52k-nobody");
    ::chmod(scratch.path.c_str(), 0755);
    const std::string machine = (scratch / "machine.reg").string(), home = (scratch / "home").string();
    std::ofstream(machine, std::ios::binary) << kMachineFile;
    ::chmod(machine.c_str(), 0644);
    ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        ::setenv("TR52K_MACHINE_REGISTRY_FILE", machine.c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("TR52K_REGISTRY_FILE");
        std::unique_ptr<CRegistryStore> store = MakeSettingsStore();
        CRecordingMessageBox boxes;
        CTR52K_FlashFileLoaderSettings settings(*store, boxes);
        if (!settings.LoadSettings() || settings.m_strTargetIp != "127.0.0.21") ::_exit(11);
        if (!SaveTargetAddressToRegistry(*store, "127.0.0.23", boxes)) ::_exit(12);
        if (!boxes.Boxes().empty()) ::_exit(13);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Slurp(machine), kMachineFile);
    EXPECT_NE(Slurp(home + "/.config/tr52k/registry.reg").find("127.0.0.23"), std::string::npos);
#endif
}

// One line per update with what it wrote where; text that is not UTF-8 and
// lines that are not entries never break the history.
TEST(UpdateHistory, LinesHoldTheUpdateAndSurviveOddText) {
    const ScratchDir dir("tr52k-history");
    const std::string path = (dir / "sub" / "history.jsonl").string();
    const ScopedEnvironment history("TR52K_HISTORY_FILE", path.c_str());
    CUpdateOutcome o;
    o.kind = EUpdateKind::ConfigEeprom;
    o.result = EUpdateResult::PageNotAcknowledged;
    o.target = 7;
    o.imagePath = "/fw/tr52K_\xFF.bin";
    o.imageRead = true;
    o.imageSize = 3000;
    o.pagesAcknowledged = 5;
    o.pagesTotal = 12;
    CHistoryEntry e{"tr52k", "127.0.0.1:5001", "00AB-005", {}, {}};
    e.started = e.ended = std::chrono::system_clock::from_time_t(86400 * 365);
    std::string why;
    ASSERT_TRUE(AppendUpdateHistory(e, o, &why)) << why;
    std::ofstream(path, std::ios::app) << "not json\n";
    o.result = EUpdateResult::Completed;
    ASSERT_TRUE(AppendUpdateHistory(e, o, &why)) << why;
    std::vector<std::string> lines;
    size_t skipped = 0;
    ASSERT_TRUE(ReadUpdateHistory(path, &lines, &skipped, &why));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(skipped, 1u);
    EXPECT_EQ(lines[0].rfind("{\"time\":\"1971-01-01T00:00:00Z\"", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("\"target\":\"EEPROM_7\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"result\":\"page-not-acknowledged\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"pagesAcknowledged\":5"), std::string::npos);
    EXPECT_NE(lines[0].find("tr52K_\\\\xFF.bin"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"ok\":true"), std::string::npos);
}

// An image named by a relative path is recorded by its absolute one; the
// times are shown in UTC or in local time with the offset.
TEST(UpdateHistory, PathsAreAbsoluteAndTimesShownInTheUsersZone) {
    const std::string here = std::filesystem::current_path().u8string();
    EXPECT_EQ(AbsoluteImagePath("fw/../fw/tr52K_a.bin"),
              (std::filesystem::u8path(here) / "fw" / "tr52K_a.bin").u8string());
    EXPECT_EQ(AbsoluteImagePath(""), "");
    EXPECT_EQ(HistoryTimeText("1971-01-01T00:00:00Z", true), "1971-01-01 00:00:00 UTC");
    EXPECT_EQ(HistoryTimeText("-", false), "-");
    EXPECT_EQ(HistoryTimeText("1971-01-01T00:00:00", false), "1971-01-01T00:00:00");
#ifndef _WIN32
    {
        const ScopedEnvironment zone("TZ", "EST5");
        ::tzset();
        EXPECT_EQ(HistoryTimeText("1971-01-01T00:00:00Z", false), "1970-12-31 19:00:00 -05:00");
        SetEnvironment("TZ", "IST-5:30");
        ::tzset();
        EXPECT_EQ(HistoryTimeText("1971-01-01T00:00:00Z", false), "1971-01-01 05:30:00 +05:30");
    }
    ::tzset();
#endif
}
}  // namespace
