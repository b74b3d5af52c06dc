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
// Header-only so the unit tests can use it without the program around it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/Text.h"

namespace output_text {

using ::AppendByteEscape;
using ::Utf8SequenceLength;

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

// Writes the text as it is; a closed or failing output is not an error of
// the operation, so its result is not looked at.
inline void Put(std::FILE* stream, std::string_view text) {
    if (!text.empty()) (void)std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace output_text
