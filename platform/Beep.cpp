#include "platform/Beep.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {
std::atomic<CBeeper*> g_beeper{nullptr};
}  // namespace

CBeeper& GetBeeper() {
    CBeeper* b = g_beeper.load();
    return b ? *b : PlatformBeeper();
}

void SetBeeper(CBeeper* beeper) { g_beeper.store(beeper); }

void CStderrBeeper::Beep(uint32_t /*frequencyHz*/, uint32_t durationMs) {
    std::fputc('\a', stderr);
    std::fflush(stderr);
    std::this_thread::sleep_for(std::chrono::milliseconds(durationMs));
}

void CRecordingBeeper::Beep(uint32_t frequencyHz, uint32_t durationMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tones.push_back({frequencyHz, durationMs});
}

std::vector<CRecordingBeeper::Tone> CRecordingBeeper::Tones() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tones;
}

void CRecordingBeeper::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tones.clear();
}
