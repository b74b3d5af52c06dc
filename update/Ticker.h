// The ticker paces the EEPROM update: while a phase flag is set it sends the
// update's step messages, synchronously, each after 50 sleeps of 1 ms, so
// every step runs on the front end's thread while the ticker waits. While
// no phase runs it sleeps until a flag changes, so an idle front end costs
// nothing. It never touches the unit. The front end is reached through a handle registry: a
// send to a handle whose target has gone does nothing, and the front end
// never waits for the ticker (it may be inside a send to it).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Clock.h"

constexpr uint32_t WM_EEPROM_ERASE_TICK = 0x600;
constexpr uint32_t WM_EEPROM_PAGE_TICK = 0x612;
constexpr uint32_t WM_EXTRA_BYTES_CHECK = 0x437;

// Wakes an idle ticker whenever one of its flags is written.
class CTickerWake {
public:
    void Notify() {
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_cv.notify_all();
    }
    // Sleeps until `ready()` holds; it is tested under the lock a writer
    // takes before notifying, so no write can slip between test and sleep.
    template <typename Ready>
    void WaitUntil(Ready ready) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, ready);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

// One shared value, read and written whole like an atomic; every write
// wakes the ticker.
template <typename T>
class CTickerFlag {
public:
    explicit CTickerFlag(CTickerWake& wake) : m_wake(wake) {}
    CTickerFlag(const CTickerFlag&) = delete;
    T load(std::memory_order order = std::memory_order_seq_cst) const { return m_value.load(order); }
    void store(T value) {
        m_value.store(value);
        m_wake.Notify();
    }
    T operator=(T value) {
        store(value);
        return value;
    }
    operator T() const { return m_value.load(); }

private:
    std::atomic<T> m_value{0};
    CTickerWake& m_wake;
};

// The four values shared by the front end and the ticker; relaxed order is
// enough for reading, the ticker only decides whether to send. The dialog
// uses the process-wide set; each unit of the command-line tool has its own.
struct CTickerFlags {
    CTickerWake wake;
    CTickerFlag<uint32_t> g_bTickerRun{wake};
    CTickerFlag<uintptr_t> g_hTickerWnd{wake};
    CTickerFlag<uint32_t> g_bEepromEraseActive{wake};
    CTickerFlag<uint32_t> g_bEepromPageProgramActive{wake};
};
CTickerFlags& ProcessTickerFlags();

class CTickerTarget {
public:
    virtual ~CTickerTarget() = default;
    // Runs the message's handler before returning.
    virtual void Send(uint32_t message, uintptr_t wParam) = 0;
};

// Returns the target's handle (non-zero): `handle` when given, the front
// end's own name for its window (the window handle on Windows), else a new
// one.
uintptr_t RegisterTickerTarget(std::shared_ptr<CTickerTarget> target, uintptr_t handle = 0);
void UnregisterTickerTarget(uintptr_t handle);
// False when no live target has that handle.
bool SendTickerMessage(uintptr_t handle, uint32_t message, uintptr_t wParam);

// The thread's body.
void TickerThreadProc(CTickerFlags& flags, CClock& clock);

// Attach points of a front end window.
void TickerAttachAtConstruction(CTickerFlags& flags, CClock& clock);  // resets, starts detached
void TickerAttachWindow(CTickerFlags& flags, uintptr_t handle);
void TickerDetachAtDestruction(CTickerFlags& flags, CClock& clock);   // never waits for the thread

// For tests and the command-line tool, which may wait for the loop to end.
std::thread StartJoinableTicker(CTickerFlags& flags, CClock& clock);
