#include "ui/UpdateView.h"

#include "platform/ErrorText.h"
#include "platform/Text.h"


bool ChooseImageFile(CUpdateView& view, std::string* path) {
    uint32_t error = 0;
    switch (view.ChooseFile(path, &error)) {
        case EFileChoice::Chosen: return true;
        case EFileChoice::Cancelled: return false;
        case EFileChoice::Failed: break;
    }
    std::string text = Format("GetLastError() returned:%u, Meaning: %s", error, SystemErrorText(error).c_str());
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    view.ShowMessageBox(text, "Dialog DoModal() Error", EMessageKind::Error);
    return false;
}
