// Texts on their way to the terminal or into a JSON document: control
// characters escaped, bytes that are not UTF-8 escaped, everything else
// kept as it is.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/OutputText.h"

namespace {
using output_text::JsonText;
using output_text::TerminalSafe;
using output_text::ValidUtf8;

TEST(OutputText, TerminalTextKeepsPrintableTextAndEscapesTheRest) {
    const struct {
        std::string in, terminal, json;  // json: what ValidUtf8 makes of it
    } cases[] = {
        {"Serial Number: 00AB-005\n\tok", "Serial Number: 00AB-005\n\tok", "Serial Number: 00AB-005\n\tok"},
        {"Übergabe é \xE2\x82\xAC \xF0\x9F\x98\x80", "Übergabe é \xE2\x82\xAC \xF0\x9F\x98\x80",
         "Übergabe é \xE2\x82\xAC \xF0\x9F\x98\x80"},
        // Escape sequences, bell, carriage return, NUL and DEL.
        {"a\x1B[2Jb\x07\r", "a\\x1B[2Jb\\x07\\x0D", "a\x1B[2Jb\x07\r"},
        {std::string("x\0y", 3) + "\x7F", "x\\x00y\\x7F", std::string("x\0y", 3) + "\x7F"},
        // C1 controls as UTF-8 (U+009B is a CSI) go; U+00A0 is printable and stays.
        {"\xC2\x9B" "31m\xC2\x80\xC2\x9F\xC2\xA0", "\\x9B31m\\x80\\x9F\xC2\xA0",
         "\xC2\x9B" "31m\xC2\x80\xC2\x9F\xC2\xA0"},
        // Not UTF-8: a lone byte, a cut sequence, an overlong form, a
        // surrogate, beyond U+10FFFF, a stray continuation byte.
        {"a\xFF" "b", "a\\xFFb", "a\\xFFb"},
        {"\xE2\x82", "\\xE2\\x82", "\\xE2\\x82"},
        {"\xC0\xAF", "\\xC0\\xAF", "\\xC0\\xAF"},
        {"\xED\xA0\x80", "\\xED\\xA0\\x80", "\\xED\\xA0\\x80"},
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", "\\xF4\\x90\\x80\\x80"},
        {"\x9B" "1m", "\\x9B1m", "\\x9B1m"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(TerminalSafe(c.in), c.terminal);
        EXPECT_EQ(ValidUtf8(c.in), c.json);
    }
}

TEST(OutputText, JsonDocumentIsValidUtf8WithoutRawControlsAndReadsBackTheSameTexts) {
    const std::string unitText = "ID\x1B[2J\x7F\xC2\x9B" "end \xC3\xBC";  // valid UTF-8, controls inside
    nlohmann::json doc;
    doc["deviceId"] = unitText;
    doc["file"] = "/fw/tr52K_\xFF.bin";
    doc["units"] = nlohmann::json::array({{{"target", "a\xFE"}, {"ok", false}}});
    doc["key \xFF"] = 1;

    std::string text;
    ASSERT_NO_THROW(text = JsonText(doc));
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        EXPECT_TRUE(c >= 0x20 || c == '\n') << "byte " << int(c) << " at " << i;
        EXPECT_NE(c, 0x7F);
        if (c == 0xC2 && i + 1 < text.size()) {
            EXPECT_GT(static_cast<unsigned char>(text[i + 1]), 0x9F);
        }
    }
    const nlohmann::json back = nlohmann::json::parse(text);
    EXPECT_EQ(back.at("deviceId"), unitText);  // the unit's text, exactly
    EXPECT_EQ(back.at("file"), "/fw/tr52K_\\xFF.bin");
    EXPECT_EQ(back.at("units").at(0).at("target"), "a\\xFE");
    EXPECT_EQ(back.at("key \\xFF"), 1);
}

using output_text::EShell;

// A redo line pasted into the shell the tool ran in gives the program the
// same words: each shell's own quoting, and bare words where none is needed.
TEST(OutputText, ShellWordsAreQuotedForTheirShell) {
    const struct {
        std::string word, posix, cmd, powershell;
    } cases[] = {
        {"127.0.0.1:5000", "127.0.0.1:5000", "127.0.0.1:5000", "127.0.0.1:5000"},
        {"[::1]:5000", "[::1]:5000", "[::1]:5000", "'[::1]:5000'"},
        {"/fw/TR52K1_DSP1_v2.bin", "/fw/TR52K1_DSP1_v2.bin", "/fw/TR52K1_DSP1_v2.bin", "/fw/TR52K1_DSP1_v2.bin"},
        {"C:\\fw\\TR52K1_DSP1_v2.bin", "'C:\\fw\\TR52K1_DSP1_v2.bin'", "C:\\fw\\TR52K1_DSP1_v2.bin",
         "C:\\fw\\TR52K1_DSP1_v2.bin"},
        {"C:\\My Files\\a&b (1).bin", "'C:\\My Files\\a&b (1).bin'", "\"C:\\My Files\\a&b (1).bin\"",
         "'C:\\My Files\\a&b (1).bin'"},
        {"it's $HOME.bin", "'it'\\''s $HOME.bin'", "\"it's $HOME.bin\"", "'it''s $HOME.bin'"},
        {"", "''", "\"\"", "''"},
        {"Übergabe.bin", "'Übergabe.bin'", "\"Übergabe.bin\"", "'Übergabe.bin'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(output_text::ShellWord(c.word, EShell::Posix), c.posix);
        EXPECT_EQ(output_text::ShellWord(c.word, EShell::Cmd), c.cmd);
        EXPECT_EQ(output_text::ShellWord(c.word, EShell::PowerShell), c.powershell);
    }
}

TEST(OutputText, LinesFitColumnsAndMessagesNameTheProgram) {
    EXPECT_EQ(output_text::Columns("ab\xC3\xBC" "c"), 4u);
    EXPECT_EQ(output_text::FitColumns("abcdef", 4), "abcd");
    EXPECT_EQ(output_text::FitColumns("ab\xC3\xBC" "cd", 3), "ab\xC3\xBC");  // not inside the ü
    EXPECT_EQ(output_text::FitColumns("abc", 80), "abc");
    EXPECT_EQ(output_text::Prefixed("tr52k", "INDEX: Value 12 not in range 0 to 11\nRun with --help for more "
                                             "information.\n"),
              "tr52k: INDEX: Value 12 not in range 0 to 11\ntr52k: Run with --help for more information.\n");
    EXPECT_EQ(output_text::Prefixed("tr52k", "tr52k: already named\n\n"), "tr52k: already named\n\n");
    EXPECT_EQ(output_text::Milliseconds(0.0023800999999821215), 0.002);
    EXPECT_EQ(output_text::Milliseconds(1.5), 1.5);
    EXPECT_EQ(nlohmann::json(output_text::Milliseconds(0.0023800999999821215)).dump(), "0.002");
}
}  // namespace
