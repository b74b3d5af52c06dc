// The process clock and Sleep(). The system's default timer tick is about
// 15.6 ms, which would turn every 1 ms step of the exchange loops into 16;
// timeBeginPeriod(1) for as long as the clock exists makes a step about
// 1 ms, as the exchanges' time-outs assume.
#include "platform/Clock.h"

#include <ctime>

#include "platform/Win32Types.h"
#include <timeapi.h>

namespace {
class CProcessClock : public CClock {
public:
    CProcessClock() { m_bPeriodSet = ::timeBeginPeriod(1) == TIMERR_NOERROR; }
    ~CProcessClock() override {
        if (m_bPeriodSet) ::timeEndPeriod(1);
    }
    // clock() on Windows counts the wall time since the process started, in
    // milliseconds (CLOCKS_PER_SEC is 1000): the time base of the time-outs.
    int64_t NowMs() override { return static_cast<int64_t>(std::clock()) * 1000 / CLOCKS_PER_SEC; }
    void SleepMs(uint32_t ms) override { ::Sleep(ms); }

private:
    bool m_bPeriodSet = false;
};
}  // namespace

CClock& SystemClock() {
    static CProcessClock clock;
    return clock;
}
