// The registry file: export format, atomic rewrite, malformed files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/Settings.h"
#include "platform/File.h"
#include "platform/Registry.h"

using namespace win32;
namespace fs = std::filesystem;

namespace {
struct RegistryFile : ::testing::Test {
    fs::path dir;
    RegistryFile() {
        char tmpl[] = "/tmp/tr52k-reg-XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    ~RegistryFile() override { fs::remove_all(dir); }
    static std::string Read(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    static void Write(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
};

TEST_F(RegistryFile, SaveThenLoadThroughTheFile) {
    fs::path file = dir / "sub" / "registry.reg";
    CFileRegistryStore store(file.string());
    CRecordingMessageBox boxes;
    EXPECT_EQ(SaveTargetAddressToRegistry(store, "10.1.2.3", boxes), 1u);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(Read(file), "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n"
                          "\"ETHERNET_IP_ADDR\"=\"10.1.2.3\"\n");
    CFileRegistryStore again(file.string());
    CTR52K_FlashFileLoaderSettings s(again, boxes);
    EXPECT_EQ(s.LoadSettings(), 1u);
    EXPECT_EQ(s.m_strTargetIp, "10.1.2.3");
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

TEST_F(RegistryFile, HandWrittenFileWithAllTypes) {
    fs::path file = dir / "r.reg";
    Write(file, "Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n"
                "\"NO_INIT_STATUS\"=dword:00000001\r\n"
                "\"ETHERNET_IP_ADDR\"=\"unit-7.lab\"\r\n"
                "\"BLOB\"=hex:01,02,\\\r\n  ff\r\n");
    CFileRegistryStore store(file.string());
    RegKey key = 0;
    ASSERT_EQ(store.CreateKey(SETTINGS_KEY_PATH, KEY_READ, &key), 0u);
    uint8_t buf[8] = {};
    uint32_t type = 0, size = sizeof buf;
    ASSERT_EQ(store.QueryValue(key, "BLOB", &type, buf, &size), 0u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(buf[2], 0xFF);
    size = 2;
    EXPECT_EQ(store.QueryValue(key, "ETHERNET_IP_ADDR", &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 22u);
    EXPECT_EQ(store.QueryValue(key, "ABSENT", &type, buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store.SetValue(key, "X", REG_DWORD, buf, 4), ERROR_ACCESS_DENIED);  // opened for reading
    EXPECT_EQ(store.CloseKey(key), 0u);
    EXPECT_EQ(store.CloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryFile, MalformedFilesAreReportedNotFatal) {
    const char* bad[] = {
        "",
        "not a registry file\n",
        "Windows Registry Editor Version 5.00\n\n\"ORPHAN\"=dword:00000001\n",
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n\"A\"=dword:123\n",
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n\"A\"=hex:0\n",
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n\"A\"=\"open\n",
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K\n",
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n\"A\"=hex:01,\\\n",
    };
    for (const char* text : bad) {
        RegHive hive;
        std::string why;
        EXPECT_FALSE(ParseRegistryExport(text, &hive, &why)) << text;
    }
    std::string garbage(4096, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 37);
    fs::path file = dir / "r.reg";
    Write(file, garbage);
    CFileRegistryStore store(file.string());
    CRecordingMessageBox boxes;
    CTR52K_FlashFileLoaderSettings s(store, boxes);
    EXPECT_EQ(s.LoadSettings(), 0u);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text,
              "RegCreateKeyEx() returned:1009, Meaning: The configuration registry database is corrupt.");
    EXPECT_EQ(Read(file), garbage);  // the damaged file is kept for inspection, not replaced
}

TEST_F(RegistryFile, FailedSaveLeavesThePreviousValue) {
    fs::path file = dir / "r.reg";
    CFileRegistryStore store(file.string());
    CRecordingMessageBox boxes;
    ASSERT_EQ(SaveTargetAddressToRegistry(store, "10.0.0.1", boxes), 1u);
    // A directory where the temporary file must go makes the write fail,
    // even for root.
    fs::create_directory(file.string() + ".tmp." + std::to_string(::getpid()));
    EXPECT_EQ(SaveTargetAddressToRegistry(store, "10.0.0.2", boxes), 1u);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, "RegSetValueEx() returned:5, Meaning: Access is denied.");
    CTR52K_FlashFileLoaderSettings s(store, boxes);
    s.LoadSettings();
    EXPECT_EQ(s.m_strTargetIp, "10.0.0.1");
}

TEST_F(RegistryFile, KeyUnderARegularFileCannotBeCreated) {
    Write(dir / "plain", "x");
    CFileRegistryStore store((dir / "plain" / "registry.reg").string());
    CRecordingMessageBox boxes;
    CTR52K_FlashFileLoaderSettings s(store, boxes);
    EXPECT_EQ(s.LoadSettings(), 0u);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, "RegCreateKeyEx() returned:5, Meaning: Access is denied.");
}

TEST_F(RegistryFile, EnvironmentOverridesTheDefaultPath) {
    ::setenv("TR52K_REGISTRY_FILE", "/tmp/elsewhere.reg", 1);
    EXPECT_EQ(CFileRegistryStore::DefaultPath(), "/tmp/elsewhere.reg");
    ::unsetenv("TR52K_REGISTRY_FILE");
    EXPECT_EQ(CFileRegistryStore::DefaultPath(), "/var/lib/tr52k/registry.reg");
}

TEST_F(RegistryFile, ImageFilesOpenWithCauses) {
    CImageFile f;
    CFileException e(0, 0, "");
    EXPECT_FALSE(f.Open((dir / "missing.bin").string(), &e));
    EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
    EXPECT_FALSE(f.Open(dir.string(), &e));
    EXPECT_EQ(e.m_cause, CFileException::accessDenied);
    EXPECT_THROW(f.GetLength(), CFileException);
    fs::path odd = dir / "TR52K1_ DSP1_ é.bin";
    Write(odd, std::string(1000, 'x'));
    ASSERT_TRUE(f.Open(odd.string(), &e));
    EXPECT_EQ(f.GetLength(), 1000u);
    EXPECT_EQ(ReadWholeFile(odd.string()).size(), 1000u);
    EXPECT_THROW(ReadWholeFile(dir.string()), CFileException);
}
}  // namespace

// A file cut short at any byte (a full disk, a copy interrupted) either
// parses to values that were all in the original, or is refused as corrupt;
// it never yields a shortened value such as "10.0.0.1" for "10.0.0.123".
TEST_F(RegistryFile, FileTruncatedAtAnyByteNeverYieldsAChangedValue) {
    RegHive full;
    full["SOFTWARE\\Korvanex\\TR52K"]["ETHERNET_IP_ADDR"] = {REG_SZ, Utf8ToRegSzBytes("10.0.0.123")};
    full["SOFTWARE\\Korvanex\\TR52K"]["NO_INIT_STATUS"] = {REG_DWORD, {1, 0, 0, 0}};
    full["SOFTWARE\\Korvanex\\TR52K"]["BLOB"] = {REG_BINARY, std::vector<uint8_t>(40, 0xAB)};
    const std::string text = FormatRegistryExport(full);
    int refused = 0, accepted = 0;
    for (size_t n = 0; n < text.size(); ++n) {
        RegHive part;
        std::string why;
        if (!ParseRegistryExport(text.substr(0, n), &part, &why)) {
            ++refused;
            continue;
        }
        ++accepted;
        for (const auto& [key, values] : part)
            for (const auto& [name, value] : values) {
                ASSERT_TRUE(full.count(key) && full[key].count(name)) << n << ": " << name;
                EXPECT_EQ(value.type, full[key][name].type) << n;
                EXPECT_EQ(value.data, full[key][name].data) << n << ": " << name;
            }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(accepted, 0);  // cut between lines: the values before the cut stand
}
