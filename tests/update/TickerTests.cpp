// The ticker's message order, its flag tests and its handle registry. A
// fake clock makes the 1 ms sleeps instant; only orders and counts are
// checked, never durations.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "update/Ticker.h"

namespace {
struct Recorder : CTickerTarget {
    std::mutex m;
    std::vector<std::pair<uint32_t, uintptr_t>> got;
    std::function<void(uint32_t)> onSend;
    void Send(uint32_t message, uintptr_t wParam) override {
        {
            std::lock_guard<std::mutex> lock(m);
            got.emplace_back(message, wParam);
        }
        if (onSend) onSend(message);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m);
        return got.size();
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
    HookClock clock;
    std::shared_ptr<Recorder> target = std::make_shared<Recorder>();
    uintptr_t handle = RegisterTickerTarget(target);
    ~Ticker() override { UnregisterTickerTarget(handle); }
};

TEST_F(Ticker, EraseTickThenExtraCheckUntilTheFlagClears) {
    flags.g_hTickerWnd = handle;
    flags.g_bEepromEraseActive = 1;
    target->onSend = [&](uint32_t msg) {
        if (msg == WM_EXTRA_BYTES_CHECK && target->got.size() >= 4) {
            flags.g_bEepromEraseActive = 0;
            flags.g_bTickerRun = 0;
        }
    };
    std::thread t = StartJoinableTicker(flags, clock);
    t.join();
    using M = std::pair<uint32_t, uintptr_t>;
    EXPECT_EQ(target->got, (std::vector<M>{{WM_EEPROM_ERASE_TICK, 0}, {WM_EXTRA_BYTES_CHECK, WM_EEPROM_ERASE_TICK},
                                          {WM_EEPROM_ERASE_TICK, 0}, {WM_EXTRA_BYTES_CHECK, WM_EEPROM_ERASE_TICK}}));
    // 50 before each message, then one idle sleep that sees the run flag.
    EXPECT_EQ(clock.Sleeps(), 201u);
}

TEST_F(Ticker, SwitchFromEraseToPagesSkipsTheEraseCheck) {
    flags.g_hTickerWnd = handle;
    flags.g_bEepromEraseActive = 1;
    uint64_t sleepsAtTick = 0, sleepsAtPage = 0;
    target->onSend = [&](uint32_t msg) {
        if (msg == WM_EEPROM_ERASE_TICK) {
            sleepsAtTick = clock.Sleeps();
            flags.g_bEepromEraseActive = 0;  // the erase is done
            flags.g_bEepromPageProgramActive = 1;
        } else if (msg == WM_EEPROM_PAGE_TICK) {
            sleepsAtPage = clock.Sleeps();
            flags.g_bEepromPageProgramActive = 0;
            flags.g_bTickerRun = 0;
        }
    };
    std::thread t = StartJoinableTicker(flags, clock);
    t.join();
    ASSERT_EQ(target->got.size(), 2u);
    EXPECT_EQ(target->got[0].first, WM_EEPROM_ERASE_TICK);
    EXPECT_EQ(target->got[1].first, WM_EEPROM_PAGE_TICK);
    // The erase pass ends at its second wait; the page tick comes one wait later.
    EXPECT_EQ(sleepsAtPage - sleepsAtTick, 100u);
}

TEST_F(Ticker, FlagClearedDuringAWait) {
    flags.g_hTickerWnd = handle;
    flags.g_bEepromPageProgramActive = 1;
    // Cleared during the first wait: no tick at all.
    clock.onSleep = [&](uint64_t n) {
        if (n == 10) flags.g_bEepromPageProgramActive = 0;
        if (n == 300) flags.g_bTickerRun = 0;
    };
    std::thread t = StartJoinableTicker(flags, clock);
    t.join();
    EXPECT_EQ(target->Count(), 0u);

    // Cleared during the second wait: the tick, but no extra-bytes check.
    HookClock clock2;
    flags.g_bEepromPageProgramActive = 1;
    clock2.onSleep = [&](uint64_t n) {
        if (n == 70) flags.g_bEepromPageProgramActive = 0;
        if (n == 400) flags.g_bTickerRun = 0;
    };
    std::thread t2 = StartJoinableTicker(flags, clock2);
    t2.join();
    ASSERT_EQ(target->got.size(), 1u);
    EXPECT_EQ(target->got[0].first, WM_EEPROM_PAGE_TICK);
}

TEST_F(Ticker, NoTargetNoMessagesAndTheRunFlagEndsAnIdleWait) {
    flags.g_bEepromEraseActive = 1;  // set before the window exists
    clock.onSleep = [&](uint64_t n) {
        if (n == 500) flags.g_bTickerRun = 0;
    };
    std::thread t = StartJoinableTicker(flags, clock);
    t.join();
    EXPECT_EQ(target->Count(), 0u);
    EXPECT_EQ(clock.Sleeps(), 500u);  // ended at the sleep that saw the flag
}

TEST_F(Ticker, SendAfterUnregisterDoesNothing) {
    EXPECT_TRUE(SendTickerMessage(handle, WM_EEPROM_PAGE_TICK, 0));
    UnregisterTickerTarget(handle);
    EXPECT_FALSE(SendTickerMessage(handle, WM_EEPROM_PAGE_TICK, 0));
    EXPECT_FALSE(SendTickerMessage(0, WM_EEPROM_PAGE_TICK, 0));
    EXPECT_EQ(target->Count(), 1u);
    auto other = std::make_shared<Recorder>();
    uintptr_t h2 = RegisterTickerTarget(other);
    other.reset();  // the window is gone without unregistering
    EXPECT_FALSE(SendTickerMessage(h2, WM_EEPROM_PAGE_TICK, 0));
    UnregisterTickerTarget(h2);
}

TEST_F(Ticker, TargetMayUnregisterItselfInsideASend) {
    target->onSend = [&](uint32_t) { UnregisterTickerTarget(handle); };
    EXPECT_TRUE(SendTickerMessage(handle, WM_EEPROM_ERASE_TICK, 0));
    EXPECT_FALSE(SendTickerMessage(handle, WM_EEPROM_ERASE_TICK, 0));
}

TEST_F(Ticker, DetachClearsPhasesAndStopsWithoutWaiting) {
    flags.g_bTickerRun = 1;
    flags.g_bEepromEraseActive = 1;
    flags.g_bEepromPageProgramActive = 1;
    TickerDetachAtDestruction(flags, clock);
    EXPECT_EQ(flags.g_bEepromEraseActive, 0u);
    EXPECT_EQ(flags.g_bEepromPageProgramActive, 0u);
    EXPECT_EQ(flags.g_bTickerRun, 0u);
    EXPECT_EQ(clock.Sleeps(), 1u);  // one 10 ms sleep
    EXPECT_EQ(clock.NowMs(), 10);
}
}  // namespace
