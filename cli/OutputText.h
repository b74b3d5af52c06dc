// What the command-line tool prints, made safe to print.
//
// Texts reach the output from places the tool does not control: the unit
// (device id, serial number), file names and addresses typed by the user.
// On a terminal, a control character in them could move the cursor, retitle
// the window or hide a line; in a JSON document, bytes that are not UTF-8
// make the JSON library throw. Everything printed goes through here.
//
// The escape for a byte is the four characters "\xNN" (upper-case hex), so
// the bytes stay readable and can be told apart; it is the same escape in
// terminal text and in JSON strings. It is not undone anywhere: a name that
// really holds the text "\xFF" looks the same as one holding byte 0xFF.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/Text.h"

namespace output_text {

// Valid UTF-8 kept as it is; every byte that is not part of a well-formed
// sequence becomes "\xNN". For JSON strings (JSON escapes control
// characters itself).
inline std::string ValidUtf8(std::string_view text) { return EscapeInvalidUtf8(text); }

// ValidUtf8, and also "\xNN" for every control character a terminal would
// act on: C0 except newline and tab, DEL, and U+0080..U+009F (escaped as the
// code point, "\x9B" for U+009B). Everything else, accented letters
// included, is kept.
inline std::string TerminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8SequenceLength(text.substr(i));
        const auto c = static_cast<uint8_t>(text[i]);
        if (n == 0) {
            AppendByteEscape(out, c);
            ++i;
            continue;
        }
        if (n == 1 && ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F)) {
            AppendByteEscape(out, c);
        } else if (n == 2 && c == 0xC2 && static_cast<uint8_t>(text[i + 1]) <= 0x9F) {
            AppendByteEscape(out, static_cast<uint8_t>(text[i + 1]));  // U+0080..U+009F
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

// Every string in the document, keys included, through ValidUtf8, so that
// dump() cannot throw.
inline nlohmann::json ValidUtf8Json(const nlohmann::json& j) {
    if (j.is_string()) return ValidUtf8(j.get_ref<const std::string&>());
    if (j.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : j) out.push_back(ValidUtf8Json(e));
        return out;
    }
    if (j.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (auto it = j.begin(); it != j.end(); ++it) out[ValidUtf8(it.key())] = ValidUtf8Json(it.value());
        return out;
    }
    return j;
}

// The document as text for the output: valid UTF-8 throughout, and no
// control character a terminal would act on. JSON already writes C0 as
// \u00XX; DEL and U+0080..U+009F are written the same way, which a JSON
// reader decodes to the very same characters.
inline std::string JsonText(const nlohmann::json& doc, int indent = 2) {
    const std::string dumped =
        ValidUtf8Json(doc).dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string out;
    out.reserve(dumped.size());
    for (size_t i = 0; i < dumped.size(); ++i) {
        const auto c = static_cast<uint8_t>(dumped[i]);
        const bool c1 = c == 0xC2 && i + 1 < dumped.size() && static_cast<uint8_t>(dumped[i + 1]) <= 0x9F;
        if (c == 0x7F || c1) {
            char text[7];
            std::snprintf(text, sizeof text, "\\u%04x", c1 ? static_cast<uint8_t>(dumped[++i]) : c);
            out += text;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

// The shells a command line is quoted for: what the user pastes it into.
enum class EShell { Posix, Cmd, PowerShell };

// One word of a command line, quoted only when it needs it, so that pasting
// the line into `shell` runs the command with exactly this word.
//  - POSIX shells: single quotes, a quote inside as '\''.
//  - PowerShell: single quotes (nothing expands in them), a quote doubled.
//  - cmd.exe: double quotes, which keep spaces and & | < > ^ ( ) from cmd;
//    a double quote (no file name holds one) is doubled, as the C runtime
//    reads it. ('%' still expands there: cmd.exe has no quote against it.)
inline std::string ShellWord(std::string_view word, EShell shell) {
    std::string_view safe = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./:";
    std::string extra = shell == EShell::Posix ? "[]@+,=" : shell == EShell::Cmd ? "\\[]@+" : "\\";
    bool plain = !word.empty();
    for (char c : word)
        if (safe.find(c) == std::string_view::npos && extra.find(c) == std::string::npos) plain = false;
    if (plain) return std::string(word);
    const char quote = shell == EShell::Cmd ? '"' : '\'';
    std::string q(1, quote);
    for (char c : word) {
        if (c != quote)
            q += c;
        else if (shell == EShell::Posix)
            q += "'\\''";
        else
            q += std::string(2, quote);
    }
    return q + quote;
}

// How many columns the text takes: one per code point (the tool's lines
// hold no wide or combining characters of their own).
inline size_t Columns(std::string_view text) {
    size_t n = 0;
    for (char c : text)
        if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) ++n;
    return n;
}

// The text cut to at most `columns` columns, never inside a character.
inline std::string FitColumns(std::string_view text, size_t columns) {
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<uint8_t>(text[i]) & 0xC0) == 0x80) continue;
        if (n++ == columns) return std::string(text.substr(0, i));
    }
    return std::string(text);
}

// Seconds as JSON shows them: to the millisecond.
inline double Milliseconds(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

// Each line of a message given its program's name in front, as every
// message of the tool starts ("tr52k: INDEX: Value 12 not in range ...").
inline std::string Prefixed(std::string_view program, std::string_view text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        const std::string_view line = text.substr(start, end - start);
        if (line != "\n" && line.rfind(std::string(program) + ":", 0) != 0) out.append(program).append(": ");
        out.append(line);
        start = end;
    }
    return out;
}

// Writes the text as it is; a closed or failing output is not an error of
// the operation, so its result is not looked at.
inline void Put(std::FILE* stream, std::string_view text) {
    if (!text.empty()) (void)std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace output_text
