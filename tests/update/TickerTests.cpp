// The ticker's message order, its flag tests and its handle registry. A fake
// clock makes the 1 ms sleeps instant; only orders and counts are checked.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "update/Ticker.h"

namespace {
using Msgs = std::vector<std::pair<uint32_t, uintptr_t>>;

// Written on the ticker thread, read once it has been joined.
struct Recorder : CTickerTarget {
    Msgs got;
    std::function<void()> onSend;
    void Send(uint32_t message, uintptr_t wParam) override {
        got.emplace_back(message, wParam);
        if (onSend) onSend();
    }
};

// A clock whose sleeps can run a hook, to change flags in the middle of a wait.
struct HookClock : CFakeClock {
    std::function<void(uint64_t)> onSleep;
    void SleepMs(uint32_t ms) override {
        CFakeClock::SleepMs(ms);
        if (onSleep) onSleep(Sleeps());
    }
};

struct Ticker : ::testing::Test {
    CTickerFlags flags;
    std::shared_ptr<Recorder> target = std::make_shared<Recorder>();
    uintptr_t handle = RegisterTickerTarget(target);
    ~Ticker() override { UnregisterTickerTarget(handle); }
};

// Each wait is 50 sleeps; the phase flag is tested after each wait. A row's
// flags change at the sleeps it names. Once no phase runs the ticker sleeps
// on its flags, not on the clock: a row with no stop sleep is stopped from
// here once it is idle, and its sleeps are only those of its phases.
TEST_F(Ticker, TicksAndChecksFollowTheFlags) {
    constexpr uint32_t E = WM_EEPROM_ERASE_TICK, P = WM_EEPROM_PAGE_TICK, X = WM_EXTRA_BYTES_CHECK;
    struct Case { bool erase, attached; uint64_t switchAt, clearAt, stopAt, sleeps; Msgs expected; };
    const Case cases[] = {
        // Erase done in the second pass's check wait: no check for it, straight on to the pages.
        {true, true, 170, 0, 280, 300, {{E, 0}, {X, E}, {E, 0}, {P, 0}, {X, P}}},
        {false, true, 0, 10, 0, 50, {}},         // cleared in the first wait: no tick
        {false, true, 0, 70, 0, 100, {{P, 0}}},  // in the second: the tick, no check
        {false, false, 0, 0, 0, 0, {}},          // no window yet: idle, without a single sleep
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sleeps);
        flags.g_hTickerWnd = c.attached ? handle : 0;
        (c.erase ? flags.g_bEepromEraseActive : flags.g_bEepromPageProgramActive) = 1;
        target->got.clear();
        HookClock clock;
        clock.onSleep = [&](uint64_t n) {
            if (n == c.switchAt) flags.g_bEepromEraseActive = 0, flags.g_bEepromPageProgramActive = 1;
            if (n == c.clearAt) flags.g_bEepromPageProgramActive = 0;
            if (n == c.stopAt) flags.g_bTickerRun = 0;
        };
        std::thread ticker = StartJoinableTicker(flags, clock);
        if (!c.stopAt) {
            for (int i = 0; i < 500 && clock.Sleeps() < c.sleeps; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            flags.g_bTickerRun = 0;
        }
        ticker.join();
        EXPECT_EQ(target->got, c.expected);
        EXPECT_EQ(clock.Sleeps(), c.sleeps);
        flags.g_bEepromPageProgramActive = 0;
    }
}

// An idle ticker wakes for a phase flag set later, from another thread.
TEST_F(Ticker, AnIdleTickerWakesWhenAPhaseStarts) {
    CFakeClock clock;
    flags.g_hTickerWnd = handle;
    target->onSend = [&] {
        flags.g_bEepromPageProgramActive = 0;
        flags.g_bTickerRun = 0;
    };
    std::thread ticker = StartJoinableTicker(flags, clock);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(clock.Sleeps(), 0u);
    flags.g_bEepromPageProgramActive = 1;
    ticker.join();
    EXPECT_EQ(target->got, (Msgs{{WM_EEPROM_PAGE_TICK, 0}}));
}

TEST_F(Ticker, SendsReachOnlyLiveTargetsAndATargetMayUnregisterItself) {
    target->onSend = [&] { UnregisterTickerTarget(handle); };
    EXPECT_TRUE(SendTickerMessage(handle, WM_EEPROM_PAGE_TICK, 0));
    EXPECT_FALSE(SendTickerMessage(handle, WM_EEPROM_PAGE_TICK, 0));
    EXPECT_FALSE(SendTickerMessage(0, WM_EEPROM_PAGE_TICK, 0));
    auto other = std::make_shared<Recorder>();
    uintptr_t h2 = RegisterTickerTarget(other);
    other.reset();  // the window is gone without unregistering
    EXPECT_FALSE(SendTickerMessage(h2, WM_EEPROM_PAGE_TICK, 0));
    UnregisterTickerTarget(h2);
    EXPECT_EQ(target->got.size(), 1u);

    // A front end may name its target itself (a window handle).
    auto named = std::make_shared<Recorder>();
    EXPECT_EQ(RegisterTickerTarget(named, 0xABC0), 0xABC0u);
    EXPECT_TRUE(SendTickerMessage(0xABC0, WM_EXTRA_BYTES_CHECK, WM_EEPROM_ERASE_TICK));
    UnregisterTickerTarget(0xABC0);
    EXPECT_FALSE(SendTickerMessage(0xABC0, WM_EXTRA_BYTES_CHECK, WM_EEPROM_ERASE_TICK));
    EXPECT_EQ(named->got.size(), 1u);
}

TEST_F(Ticker, DetachClearsThePhasesAndTheRunFlag) {
    CFakeClock clock;
    flags.g_bTickerRun = flags.g_bEepromEraseActive = flags.g_bEepromPageProgramActive = 1;
    TickerDetachAtDestruction(flags, clock);
    EXPECT_EQ(flags.g_bEepromEraseActive + flags.g_bEepromPageProgramActive + flags.g_bTickerRun, 0u);
}
}  // namespace
