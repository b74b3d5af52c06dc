#include "platform/MessageBox.h"

#include <atomic>
#include <cstdio>

#include "platform/Win32Types.h"

using namespace win32;

namespace {
CStderrMessageBox g_stderrBox;
std::atomic<CMessageBox*> g_box{nullptr};
}  // namespace

CMessageBox& GetMessageBox() {
    CMessageBox* box = g_box.load();
    return box ? *box : g_stderrBox;
}

void SetMessageBox(CMessageBox* box) { g_box.store(box); }

int CStderrMessageBox::Show(const std::string& text, const std::string& caption, uint32_t type) {
    const char* kind = (type & MB_ICONERROR) ? "error" : "note";
    std::fprintf(stderr, "[%s] %s: %s\n", kind, caption.c_str(), text.c_str());
    std::fflush(stderr);
    return IDOK;
}

int CRecordingMessageBox::Show(const std::string& text, const std::string& caption,
                               uint32_t type) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back({text, caption, type});
    return IDOK;
}

std::vector<CRecordingMessageBox::Box> CRecordingMessageBox::Boxes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
}

void CRecordingMessageBox::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.clear();
}
