// Message boxes: modal, no owner window, waiting for the user. The dialog
// plugs in its own; the command line writes them to stderr; tests record.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// What a box shows beside its text.
enum class EMessageKind { Plain, Error, Warning };
// The system's box style for a kind: MB_OK, MB_ICONERROR, MB_ICONEXCLAMATION.
uint32_t SystemBoxStyle(EMessageKind kind);

class CMessageBox {
public:
    virtual ~CMessageBox() = default;
    // Returns once the user has closed the box.
    virtual void Show(const std::string& text, const std::string& caption, EMessageKind kind) = 0;
};

// The process's message box (stderr until one is installed).
CMessageBox& GetMessageBox();
void SetMessageBox(CMessageBox* box);  // nullptr restores stderr

class CStderrMessageBox : public CMessageBox {
public:
    void Show(const std::string& text, const std::string& caption, EMessageKind kind) override;
};

#ifdef _WIN32
// The system's own box: MessageBoxW with no owner window, modal until the
// user answers. For a front end that has no window of its own.
class CSystemMessageBox : public CMessageBox {
public:
    void Show(const std::string& text, const std::string& caption, EMessageKind kind) override;
};
#endif

class CRecordingMessageBox : public CMessageBox {
public:
    struct Box {
        std::string text;
        std::string caption;
        EMessageKind kind;
    };
    void Show(const std::string& text, const std::string& caption, EMessageKind kind) override;
    std::vector<Box> Boxes() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Box> m_boxes;
};
