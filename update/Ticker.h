// The ticker paces the EEPROM update: while a phase flag is set it sends the
// update's step messages, synchronously, each after 50 sleeps of 1 ms, so
// every step runs on the front end's thread while the ticker waits. It never
// touches the unit. The front end is reached through a handle registry: a
// send to a handle whose target has gone does nothing, and the front end
// never waits for the ticker (it may be inside a send to it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/Clock.h"

constexpr uint32_t WM_EEPROM_ERASE_TICK = 0x600;
constexpr uint32_t WM_EEPROM_PAGE_TICK = 0x612;
constexpr uint32_t WM_EXTRA_BYTES_CHECK = 0x437;

// The four values shared by the front end and the ticker, each read and
// written whole; relaxed order is enough, the ticker only decides whether
// to send. The dialog uses the process-wide set; each unit of the
// command-line tool has its own.
struct CTickerFlags {
    std::atomic<uint32_t> g_bTickerRun{0};
    std::atomic<uintptr_t> g_hTickerWnd{0};
    std::atomic<uint32_t> g_bEepromEraseActive{0};
    std::atomic<uint32_t> g_bEepromPageProgramActive{0};
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
