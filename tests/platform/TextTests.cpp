// UTF-8 / UTF-16 conversion at the edges where the unit and the registry
// use UTF-16.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Registry.h"
#include "platform/Text.h"

TEST(Text, RoundTripsAndLengths) {
    const std::string texts[] = {"192.168.1.100", "Prüfstand 7", "\xF0\x9F\x93\xA1 unit", ""};
    for (const auto& t : texts) EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(t)), t);
    EXPECT_EQ(Utf16Length("\xF0\x9F\x93\xA1"), 2u);  // one character, two UTF-16 units
    EXPECT_EQ(Utf16Length("é"), 1u);
}

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
    // Overlong spellings of a line break and of '/', a lone continuation
    // byte, a truncated sequence and an encoded surrogate.
    const std::string bad[] = {"\xC0\x8A", "\xE0\x80\xAF", "\x8A", "\xE2\x82", "\xED\xA0\x80"};
    for (const auto& b : bad) {
        std::u16string w = Utf8ToUtf16(b);
        ASSERT_FALSE(w.empty());
        for (char16_t c : w) EXPECT_EQ(c, u'\xFFFD') << b.size();
    }
}

// Inputs the fuzzer found, kept so they stay fixed.
TEST(Text, FuzzRegressionsStayFixed) {
    for (const auto& e : std::filesystem::directory_iterator(TR52K_SOURCE_DIR "/tests/fuzz/regressions")) {
        std::ifstream f(e.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(f)), {});
        RegHive hive, again;
        std::string error;
        if (!ParseRegistryExport(text, &hive, &error)) continue;
        EXPECT_TRUE(ParseRegistryExport(FormatRegistryExport(hive), &again, &error)) << e.path() << ": " << error;
    }
}
