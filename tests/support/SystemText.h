// The system's text for an error code, as the registry error boxes show it.
// On POSIX the loader carries the texts itself, so a test names the one it
// expects; on Windows the text is the system's own (and Wine's wording is
// not Windows'), so a test checks the line around it and takes the text
// from the system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ErrorText.h"
#include "platform/MessageBox.h"

inline std::string Meaning(uint32_t code, const std::string& ownText) {
#ifdef _WIN32
    (void)ownText;
    std::string text = SystemErrorText(code);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
#else
    (void)code;
    return ownText;
#endif
}

// The boxes shown, each as "caption|text", in order.
inline std::vector<std::string> BoxTexts(const CRecordingMessageBox& boxes) {
    std::vector<std::string> t;
    for (const auto& b : boxes.Boxes()) t.push_back(b.caption + "|" + b.text);
    return t;
}
