// The dialog's platform layers: message boxes, beeps and the busy cursor.
#pragma once

#include <QImage>

#include "platform/Beep.h"
#include "platform/MessageBox.h"

// QMessageBox without an owner window, with the icon of its kind.
class CQtMessageBox : public CMessageBox {
public:
    void Show(const std::string& text, const std::string& caption, EMessageKind kind) override;
};

// A sine tone of the given frequency and duration through PulseAudio; on a
// machine without a sound server it waits for the duration instead.
class CPulseBeeper : public CBeeper {
public:
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override;
};

void BeginBusyCursor();
void EndBusyCursor();

// Our program icon at `size` pixels: a unit front panel with a flash arrow.
QImage ProgramIconImage(int size);
