// The registry file: export format, atomic rewrite, damaged files, and the
// UTF-8 / UTF-16 conversion its REG_SZ values go through.
#include <gtest/gtest.h>

#include "support/SystemText.h"

#include <filesystem>
#include <unistd.h>

#include "app/Settings.h"
#include "platform/Text.h"
#include "support/ScratchDir.h"

using namespace win32;
namespace fs = std::filesystem;

namespace {
struct RegistryFile : ::testing::Test {
    const ScratchDir dir{"tr52k-reg"};
    const fs::path file = dir / "sub" / "registry.reg";
    CRecordingMessageBox boxes;
    std::string Loaded() {
        CFileRegistryStore store(file.string());
        CTR52K_FlashFileLoaderSettings s(store, boxes);
        s.LoadSettings();
        return s.m_strTargetIp;
    }
};

TEST_F(RegistryFile, SaveRewritesTheFileAtomicallyAndAFailedSaveChangesNothing) {
    CFileRegistryStore store(file.string());
    ASSERT_EQ(SaveTargetAddressToRegistry(store, "10.1.2.3", boxes), 1u);
    const std::string saved = Slurp(file);
    EXPECT_EQ(saved, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n"
                     "\"ETHERNET_IP_ADDR\"=\"10.1.2.3\"\n");
    EXPECT_EQ(Loaded(), "10.1.2.3");
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);  // no temporary left behind
    // A directory where the temporary file must go makes the write fail, even for root.
    fs::create_directory(file.string() + ".tmp." + std::to_string(::getpid()));
    EXPECT_EQ(SaveTargetAddressToRegistry(store, "10.0.0.2", boxes), 1u);
    EXPECT_EQ(boxes.Boxes().at(0).text, "RegSetValueEx() returned:5, Meaning: " + Meaning(5, "Access is denied."));
    EXPECT_EQ(Slurp(file), saved);
    EXPECT_EQ(Loaded(), "10.1.2.3");
}

TEST_F(RegistryFile, BinaryGarbageIsRefusedAsCorruptAndKept) {
    std::string garbage;
    for (size_t i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>(i * 37));
    WriteFile(file, std::vector<uint8_t>(garbage.begin(), garbage.end()));
    EXPECT_EQ(Loaded(), "");
    EXPECT_EQ(boxes.Boxes().at(0).text,
              "RegCreateKeyEx() returned:1009, Meaning: " + Meaning(1009, "The configuration registry database is corrupt."));
    EXPECT_EQ(Slurp(file), garbage);  // kept for inspection, not replaced
}

// A file cut short at any byte (a full disk, a copy interrupted) either
// parses to values that were all in the whole file, or is refused as corrupt;
// it never yields a shortened value such as "10.0.0.1" for "10.0.0.123".
TEST(RegistryExport, FileCutAtAnyByteGivesTheValuesBeforeTheCutOrIsRefused) {
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n; written by hand\r\n"
                             "\"ETHERNET_IP_ADDR\"=\"10.0.0.123\"\r\n\"NO_INIT_STATUS\"=dword:00000001\r\n"
                             "\"BLOB\"=hex:01,02,\\\r\n  ff,ab\r\n\"TYPED\"=hex(7):61,00,00,00\r\n";
    RegHive full;
    std::string why;
    ASSERT_TRUE(ParseRegistryExport(text, &full, &why)) << why;
    RegKeyValues& values = full["SOFTWARE\\Korvanex\\TR52K"];
    EXPECT_EQ(values["BLOB"].data, (std::vector<uint8_t>{1, 2, 0xFF, 0xAB}));
    EXPECT_EQ(values["TYPED"].type, 7u);
    int refused = 0;
    for (size_t n = 0; n < text.size(); ++n) {
        RegHive part;
        if (!ParseRegistryExport(text.substr(0, n), &part, &why)) {
            ++refused;
            continue;
        }
        for (const auto& [key, got] : part)
            for (const auto& [name, value] : got) {
                ASSERT_TRUE(full.count(key) && full[key].count(name)) << n << ": " << name;
                EXPECT_EQ(value.type, full[key][name].type) << n;
                EXPECT_EQ(value.data, full[key][name].data) << n << ": " << name;
            }
    }
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, static_cast<int>(text.size()));  // cut between lines: the values before the cut stand
}

TEST(RegistryExport, MalformedUtf8IsReplacedAndFuzzFindingsStayFixed) {
    const std::vector<uint8_t> sz = Utf8ToRegSzBytes("Prüfstand \xF0\x9F\x93\xA1");  // the antenna takes two units
    EXPECT_EQ(RegSzBytesToUtf8(sz.data(), sz.size() - 2), "Prüfstand \xF0\x9F\x93\xA1");  // also without the terminator
    // Overlong spellings of a line break and of '/', a lone continuation
    // byte, a truncated sequence and an encoded surrogate.
    for (const char* bad : {"\xC0\x8A", "\xE0\x80\xAF", "\x8A", "\xE2\x82", "\xED\xA0\x80"})
        EXPECT_EQ(Utf8ToUtf16(bad), u"\xFFFD");
    // What an input the fuzzer found is read as must be written back in a form that parses again.
    for (const auto& e : fs::directory_iterator(TR52K_SOURCE_DIR "/tests/fuzz/regressions")) {
        RegHive hive, again;
        std::string error;
        if (ParseRegistryExport(Slurp(e.path()), &hive, &error)) {
            EXPECT_TRUE(ParseRegistryExport(FormatRegistryExport(hive), &again, &error)) << e.path() << ": " << error;
        }
    }
}
}  // namespace
