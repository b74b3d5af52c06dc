#include "platform/Beep.h"

CBeeper& PlatformBeeper() {
    static CStderrBeeper beeper;
    return beeper;
}
