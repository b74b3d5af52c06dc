#include "platform/Beep.h"

#include "platform/Win32Types.h"

namespace {
// Beep() plays the tone and returns when it has ended, as the direct
// commands expect; on a machine without a speaker it returns at once.
class CSystemBeeper : public CBeeper {
public:
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override { ::Beep(frequencyHz, durationMs); }
};
}  // namespace

CBeeper& PlatformBeeper() {
    static CSystemBeeper beeper;
    return beeper;
}
