// Monotonic millisecond clock and sleep: the clock()/Sleep() role. Time-outs
// are measured with it, so tests swap in a fake clock and run instantly.
#pragma once

#include <atomic>
#include <cstdint>

class CClock {
public:
    virtual ~CClock() = default;
    virtual int64_t NowMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
};

// steady_clock and this_thread::sleep_for.
CClock& SystemClock();

// Time stands still until someone sleeps or advances it.
class CFakeClock : public CClock {
public:
    explicit CFakeClock(int64_t startMs = 0) : m_now(startMs) {}
    int64_t NowMs() override { return m_now.load(); }
    void SleepMs(uint32_t ms) override { m_now += ms; m_nSleeps++; }
    void Advance(int64_t ms) { m_now += ms; }
    uint64_t Sleeps() const { return m_nSleeps.load(); }

private:
    std::atomic<int64_t> m_now;
    std::atomic<uint64_t> m_nSleeps{0};
};
