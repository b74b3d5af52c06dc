// Beeps: the Beep(frequency, duration) role. Direct commands report only by
// sound, so tests record every beep.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

class CBeeper {
public:
    virtual ~CBeeper() = default;
    // Returns after about `durationMs`; never fails.
    virtual void Beep(uint32_t frequencyHz, uint32_t durationMs) = 0;
};

CBeeper& GetBeeper();
void SetBeeper(CBeeper* beeper);  // nullptr restores the default

// The default: the terminal bell on POSIX, the system's Beep() on Windows.
CBeeper& PlatformBeeper();

// Terminal bell on stderr, then waits for the duration.
class CStderrBeeper : public CBeeper {
public:
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override;
};

class CRecordingBeeper : public CBeeper {
public:
    struct Tone {
        uint32_t frequencyHz;
        uint32_t durationMs;
        bool operator==(const Tone& o) const {
            return frequencyHz == o.frequencyHz && durationMs == o.durationMs;
        }
    };
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override;
    std::vector<Tone> Tones() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Tone> m_tones;
};

// The two signals of the direct commands.
inline void SuccessBeep(CBeeper& b) { b.Beep(1000, 10); }
inline void FailureBeep(CBeeper& b) { b.Beep(100, 100); }
