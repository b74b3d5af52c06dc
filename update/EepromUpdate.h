// Configuration EEPROM update, driven by the ticker's step messages:
//   Load: check and read the image (padded with 0xFF to whole 256-byte
//         pages), bulk-erase the target, start the erase phase;
//   erase tick: poll the ContinuousStatus Read until bit 0 says done;
//   page tick: write up to 64 pages, each acknowledged (10 s time-out);
//   completion: select the EEPROM, re-read the directory, restore the mode.
// The target is held from Load to the end, apart from any selection a front
// end shows, so every page of one update goes to the EEPROM erased for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"
#include "update/Ticker.h"
#include "update/ImageFile.h"
#include "update/UpdateOutcome.h"

constexpr uint32_t EEPROM_IMAGE_MAX = 16u << 20;   // page addresses carry bits 23..8
constexpr int PAGES_PER_TICK = 64;
constexpr int MAX_PAGE_FAILURES = 5;               // consecutive, for the same page
constexpr uint32_t UNPACED_ERASE_POLL_MS = 50;     // between status reads when not paced by the ticker

// Re-reads the EEPROM directory, its reply only in its own frame, and
// records what it shows in `outcome` (directoryRead, currentEepromWord, and
// currentEeprom when the word names one). True only when the raw word names
// `index`: 0 for EEPROM_0, never a word outside 0..11.
bool ConfirmCurrentEeprom(CTR52K1_Comm& comm, uint32_t index, CUpdateOutcome* outcome);
// Makes EEPROM `index` the unit's current one and confirms it by the
// directory's own reply; the facts go into `outcome` (selectAcknowledged,
// directoryRead, currentEeprom, currentEepromWord, imageId).
enum class ESelectResult { Current, NotAcknowledged, DirectoryNotRead, NotCurrent };
ESelectResult SelectAndConfirmEeprom(CTR52K1_Comm& comm, uint32_t index, CUpdateOutcome* outcome);
// The words for a directory that does not show the written EEPROM current.
std::string NotCurrentText(const CUpdateOutcome& outcome);

class CEepromTickerTarget;

class CEepromUpdate {
public:
    explicit CEepromUpdate(CTR52K1_Comm& comm, CTickerFlags& flags = ProcessTickerFlags(),
                           CClock& clock = SystemClock())
        : m_comm(comm), m_flags(flags), m_clock(clock) {}
    ~CEepromUpdate();

    // Checks and reads the image, erases EEPROM `index` and sets the erase
    // phase going. The result is InProgress when the ticker takes over; a
    // Load while an update runs is refused (Busy) and leaves that update be.
    // `progress` must outlive the update.
    CUpdateOutcome Load(int32_t index, const std::string& path, CUpdateProgress& progress);
    // Ticker steps; true when the update ended in this step.
    bool OnEepromEraseTick();
    bool OnEepromPageTick();
    void OnExtraBytesCheck(uintptr_t wParam);
    // Drives an update that Load started to its end on this thread, without
    // the ticker's rhythm: the pages go back to back, each still
    // acknowledged before the next and retried as at the rhythm; the erase
    // is polled every UNPACED_ERASE_POLL_MS. For a unit known to keep up
    // with back-to-back pages; the ticker's rhythm stays the safe default.
    void RunUnpaced();
    // The same at the ticker's rhythm, through a ticker thread of its own
    // whose handlers trace to `trace`; returns when the update has ended.
    void RunPaced(CDebugSink* trace);

    // Safe to read from another thread; Outcome() is settled once it is false.
    bool UpdateRunning() const { return m_bRunning; }
    const CUpdateOutcome& Outcome() const { return m_outcome; }

    // How long the erase may take, from its acknowledgement; 0: no limit.
    // The unit's erase time is its own: the dialog polls for as long as the
    // connection stands (the user can close it), an unattended run sets one.
    uint32_t m_nEraseTimeoutMs = 0;

    int32_t TargetEeprom() const { return static_cast<int32_t>(m_outcome.target); }
    uint32_t BytesToWrite() const { return m_nBytesToWrite; }
    uint32_t BytesWritten() const { return m_nBytesWritten; }

private:
    bool End(EUpdateResult result);
    void Complete(bool lastWriteOk);
    bool LinkLost();

    CTR52K1_Comm& m_comm;
    CTickerFlags& m_flags;
    CClock& m_clock;
    CUpdateProgress* m_pProgress = &m_noProgress;
    CNoProgress m_noProgress;
    CUpdateOutcome m_outcome;
    std::vector<uint8_t> m_image;
    uint32_t m_nBytesToWrite = 0;
    uint32_t m_nBytesWritten = 0;
    uint32_t m_nEraseTicks = 0;
    std::atomic<bool> m_bRunning{false};  // read by a waiting front end thread
    int m_nPageFailures = 0;
    int64_t m_nEraseStartMs = 0;
};

// A ticker target for front ends without a window: the handlers run on the
// ticker thread itself, their trace going to `trace` (the unit's own), while
// the front end's thread only waits for the update to end.
class CEepromTickerTarget : public CTickerTarget {
public:
    CEepromTickerTarget(CEepromUpdate& update, CDebugSink* trace) : m_update(update), m_trace(trace) {}
    void Send(uint32_t message, uintptr_t wParam) override {
        CScopedThreadDebugSink scoped(m_trace);
        if (message == WM_EEPROM_ERASE_TICK) m_update.OnEepromEraseTick();
        else if (message == WM_EEPROM_PAGE_TICK) m_update.OnEepromPageTick();
        else if (message == WM_EXTRA_BYTES_CHECK) m_update.OnExtraBytesCheck(wParam);
    }

private:
    CEepromUpdate& m_update;
    CDebugSink* m_trace;
};
