// Whatever the unit sends, every read decodes it without reading out of
// bounds, and the exchange ends by its time-out.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/MemoryDeviceLink.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CCapturingDebugSink quiet;
    SetDebugSink(&quiet);
    CFakeClock clock;
    CMemoryDeviceLink link(clock);
    CTR52K1_Comm comm(&link, clock);
    comm.m_nResponseTimeoutMs = 20;
    // The input, cut into chunks that arrive at different times.
    size_t at = 0;
    int64_t when = 0;
    while (at < size) {
        size_t n = 1 + data[at] % 64;
        size_t end = at + 1 + n < size ? at + 1 + n : size;
        link.QueueReplyAt(when, std::vector<uint8_t>(data + at + (at + 1 < size ? 1 : 0), data + end));
        when += data[at] % 7;
        at = end;
    }
    comm.ReadDeviceInfo();
    comm.ReadStatusRecord();
    comm.ReadEepromDirectory();
    comm.ReadOperationalStatus();
    comm.ReadIdentityPage();
    comm.ReadContinuousStatus();
    comm.Ping();
    // The long exchanges of page write and select, with a time-out short
    // enough to keep the fuzzer fast (theirs are 10 and 25 s).
    uint8_t request[6 + 259] = {}, response[6] = {};
    comm.SendCommandLongTimeout(20, CMD_EEPROM_PAGE_WRITE, request, 259, response);
    comm.SendCommandLongTimeout(20, CMD_EEPROM_SELECT, request, 1, response);
    comm.FinishDSP_Flash(1);
    quiet.Clear();
    return 0;
}
