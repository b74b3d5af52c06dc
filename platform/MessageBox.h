// Message boxes: modal, no owner window, waiting for the user. The dialog
// plugs in its own; the command line writes them to stderr; tests record.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CMessageBox {
public:
    virtual ~CMessageBox() = default;
    // `type` is MB_OK, MB_ICONERROR or MB_ICONEXCLAMATION (win32 values). Returns IDOK.
    virtual int Show(const std::string& text, const std::string& caption, uint32_t type) = 0;
};

// The process's message box (stderr until one is installed).
CMessageBox& GetMessageBox();
void SetMessageBox(CMessageBox* box);  // nullptr restores stderr

class CStderrMessageBox : public CMessageBox {
public:
    int Show(const std::string& text, const std::string& caption, uint32_t type) override;
};

#ifdef _WIN32
// The system's own box: MessageBoxW with no owner window, modal until the
// user answers. For a front end that has no window of its own.
class CSystemMessageBox : public CMessageBox {
public:
    int Show(const std::string& text, const std::string& caption, uint32_t type) override;
};
#endif

class CRecordingMessageBox : public CMessageBox {
public:
    struct Box {
        std::string text;
        std::string caption;
        uint32_t type;
    };
    int Show(const std::string& text, const std::string& caption, uint32_t type) override;
    std::vector<Box> Boxes() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Box> m_boxes;
};
