#include "update/Ticker.h"

#include <map>
#include <mutex>

namespace {
std::mutex g_registryMutex;
std::map<uintptr_t, std::weak_ptr<CTickerTarget>> g_targets;
uintptr_t g_nextHandle = 0x10;

constexpr int kWaitSleeps = 50;
}  // namespace

CTickerFlags& ProcessTickerFlags() {
    static CTickerFlags flags;
    return flags;
}

uintptr_t RegisterTickerTarget(std::shared_ptr<CTickerTarget> target, uintptr_t handle) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    const uintptr_t h = handle ? handle : g_nextHandle++;
    g_targets[h] = target;
    return h;
}

void UnregisterTickerTarget(uintptr_t handle) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    g_targets.erase(handle);
}

bool SendTickerMessage(uintptr_t handle, uint32_t message, uintptr_t wParam) {
    std::shared_ptr<CTickerTarget> target;
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        auto it = g_targets.find(handle);
        if (it != g_targets.end()) target = it->second.lock();
    }
    // Sent outside the lock: the handler may unregister its own window.
    if (!target) return false;
    target->Send(message, wParam);
    return true;
}

void TickerThreadProc(CTickerFlags& f, CClock& clock) {
    auto wait = [&] {
        for (int i = 0; i < kWaitSleeps; ++i) clock.SleepMs(1);
    };
    // Idle: sleeps until a phase can run (a window and a phase flag) or
    // the run flag goes; false for the latter.
    auto idleWait = [&] {
        f.wake.WaitUntil([&] {
            return !f.g_bTickerRun.load(std::memory_order_relaxed) ||
                   (f.g_hTickerWnd.load(std::memory_order_relaxed) &&
                    (f.g_bEepromEraseActive.load(std::memory_order_relaxed) ||
                     f.g_bEepromPageProgramActive.load(std::memory_order_relaxed)));
        });
        return f.g_bTickerRun.load(std::memory_order_relaxed) != 0;
    };
    auto send = [&](uint32_t msg, uintptr_t wParam) {
        SendTickerMessage(f.g_hTickerWnd.load(std::memory_order_relaxed), msg, wParam);
    };
    // One phase: false when its flag was found cleared (the pass ends there).
    auto phase = [&](CTickerFlag<uint32_t>& flag, uint32_t tick) {
        if (!flag.load(std::memory_order_relaxed)) return true;
        wait();
        if (!flag.load(std::memory_order_relaxed)) return false;
        send(tick, 0);
        wait();
        if (!flag.load(std::memory_order_relaxed)) return false;
        send(WM_EXTRA_BYTES_CHECK, tick);
        return true;
    };

    if (!f.g_bTickerRun.load(std::memory_order_relaxed)) return;
    while (true) {
        if (!f.g_hTickerWnd.load(std::memory_order_relaxed)) {
            if (!idleWait()) return;
        } else if (phase(f.g_bEepromEraseActive, WM_EEPROM_ERASE_TICK) &&
                   phase(f.g_bEepromPageProgramActive, WM_EEPROM_PAGE_TICK)) {
            if (!f.g_bEepromEraseActive.load(std::memory_order_relaxed) &&
                !f.g_bEepromPageProgramActive.load(std::memory_order_relaxed) && !idleWait())
                return;
        }
        if (!f.g_bTickerRun.load(std::memory_order_relaxed)) return;
    }
}

void TickerAttachAtConstruction(CTickerFlags& f, CClock& clock) {
    f.g_bTickerRun = 1;
    f.g_hTickerWnd = 0;
    f.g_bEepromEraseActive = 0;
    f.g_bEepromPageProgramActive = 0;
    std::thread([&f, &clock] { TickerThreadProc(f, clock); }).detach();
}

void TickerAttachWindow(CTickerFlags& f, uintptr_t handle) { f.g_hTickerWnd = handle; }

void TickerDetachAtDestruction(CTickerFlags& f, CClock& clock) {
    f.g_bEepromEraseActive = 0;
    f.g_bEepromPageProgramActive = 0;
    clock.SleepMs(10);
    f.g_bTickerRun = 0;
}

std::thread StartJoinableTicker(CTickerFlags& f, CClock& clock) {
    f.g_bTickerRun = 1;
    return std::thread([&f, &clock] { TickerThreadProc(f, clock); });
}
