// Text conversions. The loader keeps its texts in UTF-8; the few fixed-size
// fields and sizes that the unit or the registry define in UTF-16 units are
// converted at the edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

std::u16string Utf8ToUtf16(const std::string& utf8);
std::string Utf16ToUtf8(const std::u16string& utf16);
// Number of UTF-16 code units the text takes.
size_t Utf16Length(const std::string& utf8);
// Host texts longer than this (in UTF-16 units) do not fit the links'
// address fields and are refused.
constexpr size_t MAX_ADDRESS_CHARS = 259;
// Zero-terminated UTF-16 array (device id, configuration texts) to UTF-8.
std::string Utf16ToUtf8(const char16_t* text);
// printf-style formatting into a std::string.
// MinGW formats with its own C99 printf (libstdc++ asks for it), so the
// checks follow GNU rules there too, not the system library's.
#ifdef __MINGW32__
std::string Format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

// Length of the well-formed UTF-8 sequence at the start of `s`, 0 when the
// first byte does not begin one (stray continuation byte, overlong form,
// surrogate, beyond U+10FFFF, cut short).
size_t Utf8SequenceLength(std::string_view s);
// Appends "\xNN" for the byte.
void AppendByteEscape(std::string& out, uint8_t byte);
// Valid UTF-8 kept as it is; every byte that is not part of a well-formed
// sequence becomes "\xNN", so the text can go where only UTF-8 may.
std::string EscapeInvalidUtf8(std::string_view text);

// 1234567 -> "1,234,567"
std::string WithThousandsCommas(uint32_t value);
