// Settings from the registry and the command line, with their boxes.
#include <gtest/gtest.h>

#include "app/Settings.h"
#include "platform/ErrorText.h"

using namespace win32;

namespace {
struct Settings : ::testing::Test {
    CMemoryRegistryStore registry;
    CRecordingMessageBox boxes;
    CTR52K_FlashFileLoaderSettings settings{registry, boxes};
    const std::string key = SETTINGS_KEY_PATH;

    std::vector<std::string> Texts() const {
        std::vector<std::string> t;
        for (const auto& b : boxes.Boxes()) t.push_back(b.caption + "|" + b.text);
        return t;
    }
};

TEST_F(Settings, DefaultsWithoutValuesAndNoBox) {
    EXPECT_EQ(settings.LoadSettings(), 1u);
    EXPECT_EQ(settings.m_strTargetIp, "192.168.1.100");
    EXPECT_EQ(settings.m_bNoInitStatus, 0u);
    EXPECT_EQ(settings.m_nTargetPort, 5000);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(registry.m_calls.front(), "CreateKey(SOFTWARE\\Korvanex\\TR52K,0x20019)");
}

TEST_F(Settings, StoredValuesAreTaken) {
    registry.PutString(key, "ETHERNET_IP_ADDR", "10.20.30.40");
    registry.PutDword(key, "NO_INIT_STATUS", 1);
    EXPECT_EQ(settings.LoadSettings(), 1u);
    EXPECT_EQ(settings.m_strTargetIp, "10.20.30.40");
    EXPECT_EQ(settings.m_bNoInitStatus, 1u);
}

TEST_F(Settings, KeyThatCannotBeCreated) {
    registry.m_nCreateResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(settings.LoadSettings(), 0u);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Registry Error|RegCreateKeyEx() returned:5, Meaning: Access is denied."}));
    EXPECT_EQ(boxes.Boxes()[0].type, MB_ICONERROR);
    EXPECT_EQ(settings.m_strTargetIp, "");
    settings.ApplyCommandLine({"prog", "ETHERNET_IP_ADDR=10.0.0.99"});
    EXPECT_EQ(settings.m_strTargetIp, "10.0.0.99");
}

TEST_F(Settings, NullKeyHandle) {
    registry.m_bNullHandle = true;
    EXPECT_EQ(settings.LoadSettings(), 0u);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Registry Error|hAppKey is NULL"}));
}

TEST_F(Settings, WrongTypesAreReportedAndHandledAsDocumented) {
    registry.PutRaw(key, "NO_INIT_STATUS", REG_BINARY, {1, 0, 0, 0});
    registry.PutDword(key, "ETHERNET_IP_ADDR", 7);
    EXPECT_EQ(settings.LoadSettings(), 1u);
    EXPECT_EQ(settings.m_bNoInitStatus, 1u);  // used as read
    EXPECT_EQ(settings.m_strTargetIp, "192.168.1.100");
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "Registry Error|RegQueryValueEx() for REG_DWORD, Type = 3, Count = 4",
                           "Registry Error|RegQueryValueEx() for REG_SZ: Type = 4, Count = 4"}));
}

TEST_F(Settings, ShortDwordIsReportedWithItsSize) {
    registry.PutRaw(key, "NO_INIT_STATUS", REG_DWORD, {1, 0});
    settings.LoadSettings();
    EXPECT_EQ(settings.m_bNoInitStatus, 1u);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Registry Error|RegQueryValueEx() for REG_DWORD, Type = 4, Count = 2"}));
}

TEST_F(Settings, OverlongStoredAddressIsReportedAndLeftEmpty) {
    registry.PutString(key, "ETHERNET_IP_ADDR", std::string(130, '9'));  // 262 bytes with the terminator
    settings.LoadSettings();
    EXPECT_EQ(settings.m_strTargetIp, "");
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Registry Error|RegQueryValueEx() returned:234, Meaning: More data is available."}));
    boxes.Clear();
    registry.PutString(key, "ETHERNET_IP_ADDR", std::string(129, '9'));  // exactly 260 bytes fits
    settings.LoadSettings();
    EXPECT_EQ(settings.m_strTargetIp, std::string(129, '9'));
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(Settings, UnreadableValueAndCloseFailure) {
    registry.m_nQueryResult = ERROR_INVALID_HANDLE;
    registry.m_nCloseResult = ERROR_INVALID_HANDLE;
    EXPECT_EQ(settings.LoadSettings(), 0u);
    auto t = Texts();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], "Registry Error|RegQueryValueEx() returned:6, Meaning: The handle is invalid.");
    EXPECT_EQ(t[2], "Registry Error|RegCloseKey() returned:6, Meaning: The handle is invalid.");
    EXPECT_EQ(settings.m_bNoInitStatus, 0u);
}

TEST_F(Settings, CommandLineRules) {
    struct Case {
        std::vector<std::string> args;
        const char* ip;
        uint32_t noInit;
    };
    const Case cases[] = {
        {{"p", "ETHERNET_IP_ADDR=1.2.3.4"}, "192.168.1.100", 0},
        {{"p", "ETHERNET_IP_ADDR=1.2.3.45"}, "1.2.3.45", 0},
        {{"p", "X_ETHERNET_IP_ADDR=10.0.0.99"}, "10.0.0.99", 0},
        {{"p", "ethernet_ip_addr=10.0.0.99"}, "192.168.1.100", 0},
        {{"p", "NO_INIT_STATUS=1"}, "192.168.1.100", 1},
        {{"p", "NO_INIT_STATUS=0"}, "192.168.1.100", 0},
        {{"p", "/NO_INIT_STATUS=1"}, "192.168.1.100", 0},
        {{"p", "ETHERNET_IP_ADDR=10.1.1.20", "ETHERNET_IP_ADDR=10.1.1.21"}, "10.1.1.21", 0},
        {{"ETHERNET_IP_ADDR=10.9.9.99"}, "192.168.1.100", 0},  // the program name is not an option
    };
    for (const auto& c : cases) {
        CTR52K_FlashFileLoaderSettings s(registry, boxes);
        s.m_strTargetIp = "192.168.1.100";
        s.ApplyCommandLine(c.args);
        EXPECT_EQ(s.m_strTargetIp, c.ip) << c.args.back();
        EXPECT_EQ(s.m_bNoInitStatus, c.noInit) << c.args.back();
    }
}

TEST_F(Settings, CommandLineCannotSwitchNoInitStatusOff) {
    registry.PutDword(key, "NO_INIT_STATUS", 1);
    settings.LoadSettings();
    settings.ApplyCommandLine({"p", "NO_INIT_STATUS=0"});
    EXPECT_EQ(settings.m_bNoInitStatus, 1u);
}

TEST_F(Settings, OverlongCommandLineAddressIsRefused) {
    registry.PutString(key, "ETHERNET_IP_ADDR", "10.0.0.1");
    settings.LoadSettings();
    settings.ApplyCommandLine({"p", "ETHERNET_IP_ADDR=" + std::string(260, 'h')});
    EXPECT_EQ(settings.m_strTargetIp, "10.0.0.1");
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Command Line Error");
    settings.ApplyCommandLine({"p", "ETHERNET_IP_ADDR=" + std::string(259, 'h')});
    EXPECT_EQ(settings.m_strTargetIp, std::string(259, 'h'));
}

TEST_F(Settings, SaveWritesTheTextWithItsTerminator) {
    EXPECT_EQ(SaveTargetAddressToRegistry(registry, "10.1.2.3", boxes), 1u);
    const RegValue& v = registry.m_hive[key]["ETHERNET_IP_ADDR"];
    EXPECT_EQ(v.type, REG_SZ);
    EXPECT_EQ(v.data.size(), 18u);
    settings.LoadSettings();
    EXPECT_EQ(settings.m_strTargetIp, "10.1.2.3");
    EXPECT_EQ(registry.m_calls.front(), "CreateKey(SOFTWARE\\Korvanex\\TR52K,0x20006)");
}

TEST_F(Settings, SaveFailuresAreReported) {
    registry.m_nSetResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(SaveTargetAddressToRegistry(registry, "10.1.2.3", boxes), 1u);  // set failure still closes
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Registry Error|RegSetValueEx() returned:5, Meaning: Access is denied."}));
    registry.m_nCreateResult = 1009;
    EXPECT_EQ(SaveTargetAddressToRegistry(registry, "10.1.2.3", boxes), 0u);
}

TEST(ErrorTexts, KnownAndUnknownCodes) {
    for (uint32_t c : {0u, 2u, 5u, 6u, 87u, 234u, 1009u, 10035u, 10054u, 10060u, 10061u, 11001u, 11003u}) {
        std::string t = SystemErrorText(c);
        EXPECT_GT(t.size(), 4u) << c;
        EXPECT_EQ(t.substr(t.size() - 2), "\r\n") << c;
        EXPECT_EQ(t.find("Unknown"), std::string::npos) << c;
    }
    EXPECT_EQ(SystemErrorText(424242), "Unknown error 424242.\r\n");
    EXPECT_EQ(ErrnoToWsaError(ECONNREFUSED), 10061u);
    EXPECT_EQ(ErrnoToWsaError(EWOULDBLOCK), 10035u);
    EXPECT_EQ(ErrnoToWsaError(ENOTSOCK), 10038u);
}
}  // namespace
