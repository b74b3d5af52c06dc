// What the update procedures need of a front end: the two progress bars and
// their captions, the path edits and byte counters, boxes, beeps, the busy
// cursor, the open-file dialog, the EEPROM radio buttons and the close
// request. The dialog implements it with its controls, the command-line
// tool with a terminal, the tests with a recorder. Trace lines go through
// DebugOutput(); time through the CClock handed to the procedure.
#pragma once

#include <cstdint>
#include <string>

#include "platform/MessageBox.h"

enum class EProgressBar {
    BulkErase,    // upper bar: EEPROM erase ticks, DSP upload blocks
    PageProgram,  // lower bar: EEPROM pages, DSP write wait
};

enum class EProgressLabel {
    BulkErase,    // caption of the upper bar
    PageProgram,  // caption of the lower bar
};

enum class EUpdateText {
    Dsp1File,
    Dsp2File,
    EepromFile,
    BytesToWrite,
    BytesWritten,
};

enum class EFileChoice {
    Chosen,
    Cancelled,
    Failed,  // the dialog could not be shown; errorCode says why
};

class CUpdateView {
public:
    virtual ~CUpdateView() = default;

    virtual void SetLabel(EProgressLabel label, const std::string& text) = 0;

    // Progress bars behave like the Windows control: StepProgress adds the
    // step and wraps to the lower end when it passes the upper end.
    virtual void SetProgressRange(EProgressBar bar, int32_t lower, int32_t upper) = 0;
    virtual void SetProgressStep(EProgressBar bar, int32_t step) = 0;
    virtual void SetProgressPos(EProgressBar bar, int32_t pos) = 0;
    virtual void StepProgress(EProgressBar bar) = 0;
    virtual int32_t GetProgressUpper(EProgressBar bar) = 0;

    virtual std::string GetText(EUpdateText which) = 0;
    virtual void SetText(EUpdateText which, const std::string& text) = 0;

    virtual void ShowMessageBox(const std::string& text, const std::string& caption, EMessageKind kind) = 0;
    virtual void Beep(uint32_t frequencyHz, uint32_t durationMs) = 0;

    // Busy cursor; calls nest (each Begin has its End).
    virtual void BeginBusy() = 0;
    virtual void EndBusy() = 0;

    // Open-file dialog for "Binary Files (*.bin)|*.bin|", default ".bin".
    virtual EFileChoice ChooseFile(std::string* path, uint32_t* errorCode) = 0;

    // EEPROM radio buttons: index of the first checked one from EEPROM_0
    // upward, -1 when none is checked.
    virtual int32_t FirstCheckedEeprom() = 0;
    // Check radio `index` and uncheck the others (none for an index outside
    // 0..11); refresh the twelve captions from the command object's directory.
    virtual void ShowSelectedEeprom(int32_t index) = 0;
    virtual void ShowEepromDirectory() = 0;

    // Ask the front end to close once the current handler has returned
    // (posted, not immediate).
    virtual void RequestClose() = 0;
};

// Runs the open-file dialog; a dialog that cannot be shown is reported in
// the "Dialog DoModal() Error" box. True when a file was chosen.
bool ChooseImageFile(CUpdateView& view, std::string* path);
