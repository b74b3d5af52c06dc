// Configuration EEPROM update, driven by the ticker's step messages:
//   Load: check and read the image (padded with 0xFF to whole 256-byte
//         pages), bulk-erase the target, start the erase phase;
//   erase tick: poll the ContinuousStatus Read until bit 0 says done;
//   page tick: write up to 64 pages, each acknowledged (10 s time-out);
//   completion: select the EEPROM, re-read the directory, restore the mode.
// The target is held from Load to the end, apart from the radio selection,
// so every page of one update goes to the EEPROM that was erased for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "protocol/TR52K1_Comm.h"
#include "update/Ticker.h"
#include "update/UpdateView.h"

constexpr uint32_t EEPROM_IMAGE_MAX = 16u << 20;   // page addresses carry bits 23..8
constexpr int PAGES_PER_TICK = 64;
constexpr int MAX_PAGE_FAILURES = 5;               // consecutive, for the same page
constexpr int MAX_STATUS_FAILURES = 30;            // consecutive unanswered erase polls

// 1234567 -> "1,234,567"
std::string WithThousandsCommas(uint32_t value);

class CEepromUpdate {
public:
    CEepromUpdate(CTR52K1_Comm& comm, CUpdateView& view, CTickerFlags& flags = ProcessTickerFlags(),
                  CClock& clock = SystemClock())
        : m_comm(comm), m_view(view), m_flags(flags), m_clock(clock) {}
    ~CEepromUpdate();

    void OnBnClickedEepromBrowse();
    void OnBnClickedEepromLoad();
    void OnEepromEraseTick();
    void OnEepromPageTick();
    void OnExtraBytesCheck(uintptr_t wParam);
    void OnBnClickedEeprom(int32_t index);
    void OnBnDoubleClickedEeprom(int32_t index);

    bool UpdateRunning() const { return m_bRunning; }
    // Set when an update ended; true when its whole image was acknowledged.
    bool m_bLastUpdateComplete = false;
    std::string m_strLastError;

    // Update state.
    bool m_bBusyCursor = false;
    uint32_t m_nBytesToWrite = 0;
    uint32_t m_nBytesWritten = 0;
    std::vector<uint8_t> m_image;
    int64_t m_nStartClock = 0;
    int32_t m_nSavedOperationalMode = 0;
    int32_t m_nSelectedEeprom = 0;
    int32_t m_nTargetEeprom = 0;

private:
    void Stop(const std::string& text, const std::string& caption, bool trace);
    void Release();
    void Complete(bool lastWriteOk, bool* chainOk);
    bool LinkLost();

    CTR52K1_Comm& m_comm;
    CUpdateView& m_view;
    CTickerFlags& m_flags;
    CClock& m_clock;
    std::atomic<bool> m_bRunning{false};  // read by a waiting front end thread
    int m_nPageFailures = 0;
    int m_nStatusFailures = 0;
};
