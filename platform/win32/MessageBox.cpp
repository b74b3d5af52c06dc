#include "platform/MessageBox.h"

#include "platform/win32/WideText.h"

void CSystemMessageBox::Show(const std::string& text, const std::string& caption, EMessageKind kind) {
    ::MessageBoxW(nullptr, win32_text::Widen(text).c_str(), win32_text::Widen(caption).c_str(), SystemBoxStyle(kind));
}
