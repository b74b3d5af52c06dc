// The Windows platform layer on the system's own services: the registry
// API under HKEY_LOCAL_MACHINE with the settings code on top, files by
// UTF-8 name with either separator and read byte for byte, the system's
// error texts in the loader's own format.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/Settings.h"
#include "platform/ErrorText.h"
#include "platform/File.h"
#include "support/Environment.h"
#include "support/ScratchDir.h"
#include "support/SystemText.h"
#include "support/Wine.h"

namespace fs = std::filesystem;

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
    CWin32RegistryStore store;
    CRecordingMessageBox boxes;
    void SetUp() override {
        if (!MayWriteTheRegistry()) GTEST_SKIP() << "writes HKLM; set TR52K_TEST_WRITES_REGISTRY=1 to run it here";
        Delete(L"ETHERNET_IP_ADDR");
        Delete(L"NO_INIT_STATUS");
    }
    void TearDown() override {
        if (!MayWriteTheRegistry()) return;
        Delete(L"ETHERNET_IP_ADDR");
        Delete(L"NO_INIT_STATUS");
    }
    static void Delete(const wchar_t* name) { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKey.c_str(), name); }
    static void Put(const wchar_t* name, DWORD type, const void* data, DWORD size, HKEY root = HKEY_LOCAL_MACHINE) {
        ASSERT_EQ(::RegSetKeyValueW(root, kKey.c_str(), name, type, data, size), ERROR_SUCCESS);
    }
    // A REG_SZ value, its terminator stored too.
    static void PutText(const wchar_t* name, const std::wstring& text, HKEY root = HKEY_LOCAL_MACHINE) {
        Put(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2), root);
    }
    CTR52K_FlashFileLoaderSettings Load() {
        CTR52K_FlashFileLoaderSettings s(store, boxes);
        EXPECT_EQ(s.LoadSettings(), 1u);
        return s;
    }
};

TEST_F(Win32Registry, SavedAddressIsAStringValueOfTheSystemsRegistryAndLoadsBack) {
    EXPECT_EQ(Load().m_strTargetIp, DEFAULT_TARGET_IP);  // absent: the default, silently
    ASSERT_EQ(SaveTargetAddressToRegistry(store, "10.1.2.3", boxes), 1u);
    wchar_t text[64] = {};
    DWORD type = 0, size = sizeof text;
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, kKey.c_str(), L"ETHERNET_IP_ADDR", RRF_RT_ANY, &type, text, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 18u);  // the terminator stored too
    EXPECT_EQ(std::wstring(text), L"10.1.2.3");
    const auto s = Load();
    EXPECT_EQ(s.m_strTargetIp, "10.1.2.3");
    EXPECT_EQ(s.m_bNoInitStatus, 0u);
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(Win32Registry, ValuesOfTheWrongTypeOrSizeGiveTheBoxesWithTheAPIsOwnCodes) {
    const uint8_t binary[4] = {1, 0, 0, 0};
    Put(L"NO_INIT_STATUS", REG_BINARY, binary, 4);
    PutText(L"ETHERNET_IP_ADDR", std::wstring(130, L'9'));  // 262 bytes with the terminator: more than the 260 offered
    const auto s = Load();
    EXPECT_EQ(s.m_bNoInitStatus, 1u);  // used as read
    EXPECT_EQ(s.m_strTargetIp, "");
    EXPECT_EQ(BoxTexts(boxes), (std::vector<std::string>{
                           "Registry Error|RegQueryValueEx() for REG_DWORD, Type = 3, Count = 4",
                           "Registry Error|RegQueryValueEx() returned:234, Meaning: " + Meaning(234, "")}));
}

TEST_F(Win32Registry, HandlesThatWereNeverOpenedAreRefused) {
    uint32_t type = 0, size = 0;
    EXPECT_EQ(store.QueryValue(99, "NO_INIT_STATUS", &type, nullptr, &size), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(store.CloseKey(99), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    RegKey key = 0;
    ASSERT_EQ(store.CreateKey("SOFTWARE\\Korvanex\\TR52K", KEY_READ, &key), static_cast<uint32_t>(ERROR_SUCCESS));
    EXPECT_EQ(store.CloseKey(key), static_cast<uint32_t>(ERROR_SUCCESS));
    EXPECT_EQ(store.CloseKey(key), static_cast<uint32_t>(ERROR_INVALID_HANDLE));  // not twice
}

// The store the programs use: the user's key over the machine's, through
// the registry API itself. (Under Wine the user may write both, so the
// Save that falls back to the user's key is left to the store's own test.)
TEST_F(Win32Registry, TheUsersKeyIsReadOverTheMachinesAndSavedAlongWithIt) {
    const ScopedEnvironment noFile("TR52K_REGISTRY_FILE", nullptr);
    PutText(L"ETHERNET_IP_ADDR", L"10.0.0.1");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey.c_str(), L"ETHERNET_IP_ADDR");
    {
        std::unique_ptr<CRegistryStore> settings = MakeSettingsStore();
        CTR52K_FlashFileLoaderSettings s(*settings, boxes);
        EXPECT_EQ(s.LoadSettings(), 1u);
        EXPECT_EQ(s.m_strTargetIp, "10.0.0.1");
        PutText(L"ETHERNET_IP_ADDR", L"10.0.0.2", HKEY_CURRENT_USER);
        EXPECT_EQ(s.LoadSettings(), 1u);
        EXPECT_EQ(s.m_strTargetIp, "10.0.0.2");
        ASSERT_EQ(SaveTargetAddressToRegistry(*settings, "10.0.0.3", boxes), 1u);
        EXPECT_EQ(s.LoadSettings(), 1u);
        EXPECT_EQ(s.m_strTargetIp, "10.0.0.3");
    }
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        wchar_t text[64] = {};
        DWORD type = 0, size = sizeof text;
        EXPECT_EQ(::RegGetValueW(root, kKey.c_str(), L"ETHERNET_IP_ADDR", RRF_RT_REG_SZ, &type, text, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(text), L"10.0.0.3");
    }
    EXPECT_TRUE(boxes.Boxes().empty());
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey.c_str(), L"ETHERNET_IP_ADDR");
}

TEST(Win32Files, ImagesAreReadByteForByteUnderAnyUtf8NameAndEitherSeparator) {
    const ScratchDir dir("tr52k-files");
    // CR LF, Ctrl-Z and NUL: what a text-mode read would change or stop at.
    std::vector<uint8_t> image;
    for (int i = 0; i < 300; ++i) image.insert(image.end(), {0x0D, 0x0A, 0x1A, 0x00, static_cast<uint8_t>(i)});
    image.push_back(0x1A);
    const std::string folder = dir.path.u8string() + "\\Прошивка ü 固件";
    WriteFile(fs::u8path(folder + "\\TR52K1_DSP1_v2.bin"), image);
    for (const std::string& path : {folder + "\\TR52K1_DSP1_v2.bin", folder + "/TR52K1_DSP1_v2.bin"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(NonRegularFileKind(path), "");
        EXPECT_EQ(ReadWholeFile(path), image);
        CImageFile file;
        CFileException error(0, 0, "");
        ASSERT_TRUE(file.Open(path, &error));
        EXPECT_EQ(file.GetLength(), image.size());
    }
    EXPECT_EQ(NonRegularFileKind(folder), "a folder");
}

TEST(Win32Files, TheRegistryFileIsUsedUnderAUtf8NameInANewFolder) {
    const ScratchDir dir("tr52k-regfile");
    const std::string path = dir.path.u8string() + "/ß/registry.reg";
    CFileRegistryStore file(path);
    CRecordingMessageBox boxes;
    ASSERT_EQ(SaveTargetAddressToRegistry(file, "10.9.8.7", boxes), 1u);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(Slurp(fs::u8path(path)), "Windows Registry Editor Version 5.00\n\n"
                                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n"
                                        "\"ETHERNET_IP_ADDR\"=\"10.9.8.7\"\n");
    CTR52K_FlashFileLoaderSettings s(file, boxes);
    s.LoadSettings();
    EXPECT_EQ(s.m_strTargetIp, "10.9.8.7");
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
