#include "platform/MessageBox.h"

#include "platform/win32/WideText.h"

int CSystemMessageBox::Show(const std::string& text, const std::string& caption, uint32_t type) {
    return ::MessageBoxW(nullptr, win32_text::Widen(text).c_str(), win32_text::Widen(caption).c_str(), type);
}
