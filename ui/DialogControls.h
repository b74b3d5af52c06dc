// The dialog's controls as its behaviour sees them: addressed by the ids of
// dialog template 102, whatever toolkit draws them. Each binding (Qt, Win32)
// implements this over its widgets; the tests record it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ui/ControlIds.h"
#include "ui/UpdateView.h"
#include "update/Ticker.h"


class CDialogControls {
public:
    virtual ~CDialogControls() = default;

    // Edits, statics, buttons, radio-button captions; the window's caption
    // with id 0.
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual std::string GetControlText(int id) = 0;
    // Check boxes and radio buttons.
    virtual void SetCheck(int id, bool checked) = 0;
    virtual bool GetCheck(int id) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    // Progress bars: the position is kept inside the range by the caller.
    virtual void SetProgressRange(int id, int32_t lower, int32_t upper) = 0;
    virtual void SetProgressPos(int id, int32_t pos) = 0;
    virtual int32_t GetProgressPos(int id) = 0;
    virtual int32_t GetProgressLower(int id) = 0;
    virtual int32_t GetProgressUpper(int id) = 0;
    // The IP-address control, field 0 in the highest byte.
    virtual void SetIpAddress(int id, uint32_t address) = 0;
    virtual uint32_t GetIpAddress(int id, uint8_t fields[4]) = 0;

    // What the window itself does.
    virtual void BeginBusyCursor() = 0;
    virtual void EndBusyCursor() = 0;
    virtual EFileChoice ChooseBinaryFile(std::string* path, uint32_t* errorCode) = 0;
    // A question box owned by the window, Yes and No with No the default;
    // true for Yes.
    virtual bool AskYesNo(const std::string& question, const std::string& caption) = 0;
    // Asks the window to close once the current handler has returned; the
    // close goes through CanClose() like the user's own.
    virtual void PostClose() = 0;
    // Watches (or stops watching) a link's input handle in the window's
    // event loop, calling the dialog's OnIdleInput() when it is readable or
    // closed.
    virtual void WatchInput(intptr_t handle, bool watch) = 0;
    // Delivers the ticker's messages to the dialog's OnTickerMessage() on the
    // window's thread, before Send returns; `window` is set to the handle the
    // ticker is to know the window by (0: any). Null: no ticker.
    virtual std::shared_ptr<CTickerTarget> TickerTarget(uintptr_t* window) = 0;
};

// What screen readers and test tools call each control that code addresses:
// the caption for buttons and check boxes, the words beside it for edits,
// bars and values. Empty for an id the dialog does not have.
std::string ControlAccessibleName(int id);
