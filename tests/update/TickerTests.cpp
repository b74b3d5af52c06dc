// The ticker's message order, its flag tests and its handle registry. A fake
// clock makes the 1 ms sleeps instant; only orders and counts are checked.
#include <gtest/gtest.h>

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

// Each wait is 50 sleeps; the phase flag is tested after each wait, the run
// flag at every idle sleep. A row's flags change at the sleeps it names.
TEST_F(Ticker, TicksAndChecksFollowTheFlags) {
    constexpr uint32_t E = WM_EEPROM_ERASE_TICK, P = WM_EEPROM_PAGE_TICK, X = WM_EXTRA_BYTES_CHECK;
    struct Case { bool erase, attached; uint64_t switchAt, clearAt, stopAt, sleeps; Msgs expected; };
    const Case cases[] = {
        // Erase done in the second pass's check wait: no check for it, straight on to the pages.
        {true, true, 170, 0, 280, 300, {{E, 0}, {X, E}, {E, 0}, {P, 0}, {X, P}}},
        {false, true, 0, 10, 310, 310, {}},        // cleared in the first wait: no tick
        {false, true, 0, 70, 420, 420, {{P, 0}}},  // in the second: the tick, no check
        {false, false, 0, 0, 530, 530, {}},        // no window yet: idle until the run flag goes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stopAt);
        flags.g_hTickerWnd = c.attached ? handle : 0;
        (c.erase ? flags.g_bEepromEraseActive : flags.g_bEepromPageProgramActive) = 1;
        target->got.clear();
        HookClock clock;
        clock.onSleep = [&](uint64_t n) {
            if (n == c.switchAt) flags.g_bEepromEraseActive = 0, flags.g_bEepromPageProgramActive = 1;
            if (n == c.clearAt) flags.g_bEepromPageProgramActive = 0;
            if (n == c.stopAt) flags.g_bTickerRun = 0;
        };
        StartJoinableTicker(flags, clock).join();
        EXPECT_EQ(target->got, c.expected);
        EXPECT_EQ(clock.Sleeps(), c.sleeps);
        flags.g_bEepromPageProgramActive = 0;
    }
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
