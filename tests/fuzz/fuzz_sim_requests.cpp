// The simulator's request parser on arbitrary bytes fed in pieces, and its
// fault-rule parser on the same bytes as text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/UnitSimulator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CFakeClock clock;
    CUnitSimulator unit(clock);
    unit.m_eraseMs = 0;
    SimRule rule;
    std::string why;
    const bool isRule = ParseSimRule(std::string(reinterpret_cast<const char*>(data), size), &rule, &why);
    if (isRule && (rule.from < 1 || rule.count == 0 || rule.value < 0)) std::abort();
    size_t at = 0;
    while (at < size) {
        size_t n = 1 + data[at] % 300;
        if (n > size - at) n = size - at;
        for (const SimReply& r : unit.Feed(data + at, n)) {
            // Every reply is a whole frame or an injected short one.
            if (r.bytes.size() >= 6 && (r.bytes[0] != 0x68 || r.bytes[1] != 0x00)) std::abort();
        }
        clock.Advance(10);
        at += n;
    }
    return 0;
}
