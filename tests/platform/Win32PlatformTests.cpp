// The Windows platform layer on the system's own services: the registry
// API under HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER with the settings code
// on top, the registry file under a UTF-8 name, the system's error texts
// in the loader's own format.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <memory>

#include "app/Settings.h"
#include "platform/ErrorText.h"
#include "support/Environment.h"
#include "support/ScratchDir.h"
#include "support/Wine.h"

namespace {
const std::wstring kKey = L"SOFTWARE\\Korvanex\\TR52K";

// The tests write HKEY_LOCAL_MACHINE\SOFTWARE\Korvanex\TR52K: under Wine
// that is a scratch prefix's; on a real machine it is the loader's own
// settings, so there they run only when asked to.
bool MayWriteTheRegistry() {
    const char* asked = std::getenv("TR52K_TEST_WRITES_REGISTRY");
    return RunningUnderWine() || (asked && std::string(asked) == "1");
}

struct Win32Registry : ::testing::Test {
    CRecordingMessageBox boxes;
    void SetUp() override {
        if (!MayWriteTheRegistry()) GTEST_SKIP() << "writes HKLM; set TR52K_TEST_WRITES_REGISTRY=1 to run it here";
        TearDown();
    }
    void TearDown() override {
        if (!MayWriteTheRegistry()) return;
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
            ::RegDeleteKeyValueW(root, kKey.c_str(), L"ETHERNET_IP_ADDR");
    }
    // A REG_SZ value, its terminator stored too.
    static void PutText(HKEY root, const std::wstring& text) {
        ASSERT_EQ(::RegSetKeyValueW(root, kKey.c_str(), L"ETHERNET_IP_ADDR", REG_SZ, text.c_str(),
                                    static_cast<DWORD>((text.size() + 1) * 2)),
                  ERROR_SUCCESS);
    }
};

// The store the programs use: the user's key over the machine's, through
// the registry API itself, the address a string value with its terminator.
// (Under Wine the user may write both, so the Save that falls back to the
// user's key is left to the store's own test.)
TEST_F(Win32Registry, TheUsersKeyIsReadOverTheMachinesAndSavedAlongWithIt) {
    const ScopedEnvironment noFile("TR52K_REGISTRY_FILE", nullptr);
    std::unique_ptr<CRegistryStore> settings = MakeSettingsStore();
    CTR52K_FlashFileLoaderSettings s(*settings, boxes);
    EXPECT_EQ(s.LoadSettings(), 1u);
    EXPECT_EQ(s.m_strTargetIp, DEFAULT_TARGET_IP);  // absent: the default, silently
    PutText(HKEY_LOCAL_MACHINE, L"127.0.0.11");
    EXPECT_EQ(s.LoadSettings(), 1u);
    EXPECT_EQ(s.m_strTargetIp, "127.0.0.11");
    PutText(HKEY_CURRENT_USER, L"127.0.0.12");
    EXPECT_EQ(s.LoadSettings(), 1u);
    EXPECT_EQ(s.m_strTargetIp, "127.0.0.12");
    ASSERT_EQ(SaveTargetAddressToRegistry(*settings, "127.1.2.3", boxes), 1u);
    settings.reset();
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        wchar_t text[64] = {};
        DWORD type = 0, size = sizeof text;
        EXPECT_EQ(::RegGetValueW(root, kKey.c_str(), L"ETHERNET_IP_ADDR", RRF_RT_ANY, &type, text, &size), ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(text), L"127.1.2.3");
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(size, 20u);
    }
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST(Win32Files, TheRegistryFileIsUsedUnderAUtf8NameInANewFolder) {
    const ScratchDir dir("tr52k-regfile");
    CFileRegistryStore file(dir.path.u8string() + "/ß/Прошивка/registry.reg");
    CRecordingMessageBox boxes;
    ASSERT_EQ(SaveTargetAddressToRegistry(file, "127.9.8.7", boxes), 1u);
    EXPECT_TRUE(boxes.Boxes().empty());
    CTR52K_FlashFileLoaderSettings s(file, boxes);
    s.LoadSettings();
    EXPECT_EQ(s.m_strTargetIp, "127.9.8.7");
}

TEST(Win32ErrorText, SystemTextsEndInALineBreakAndUnknownCodesAreNamed) {
    for (uint32_t code : {2u, 5u, 10061u}) {
        const std::string text = SystemErrorText(code);
        ASSERT_GE(text.size(), 3u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
    }
    EXPECT_EQ(SystemErrorText(0x2FFFFFFF), "Unknown error 805306367.\r\n");
}
}  // namespace
#endif
