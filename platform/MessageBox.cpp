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

uint32_t SystemBoxStyle(EMessageKind kind) {
    switch (kind) {
        case EMessageKind::Error: return MB_ICONERROR;
        case EMessageKind::Warning: return MB_ICONEXCLAMATION;
        case EMessageKind::Plain: break;
    }
    return MB_OK;
}

void CStderrMessageBox::Show(const std::string& text, const std::string& caption, EMessageKind kind) {
    // A warning box is a failure to report too.
    std::fprintf(stderr, "[%s] %s: %s\n", kind == EMessageKind::Plain ? "note" : "error", caption.c_str(),
                 text.c_str());
    std::fflush(stderr);
}

void CRecordingMessageBox::Show(const std::string& text, const std::string& caption, EMessageKind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back({text, caption, kind});
}

std::vector<CRecordingMessageBox::Box> CRecordingMessageBox::Boxes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
}

void CRecordingMessageBox::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.clear();
}
