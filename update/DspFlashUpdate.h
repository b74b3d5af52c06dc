// DSP1/DSP2 flash update: the image goes out in blocks of at most 128 bytes,
// each acknowledged before the next, between the flash start and finish
// frames; the unit then writes its flash during a fixed 60 s wait.
//
// The file is checked and read completely before the first frame is sent,
// so a wrong or unreadable file never leaves the unit with a started upload.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"
#include "protocol/TR52K1_Comm.h"
#include "update/ImageFile.h"
#include "update/UpdateOutcome.h"

constexpr uint32_t DSP_IMAGE_MAX = 786432;  // the buffer size in the DSP
constexpr int DSP_WRITE_WAIT_STEPS = 60;
constexpr uint32_t DSP_WRITE_WAIT_STEP_MS = 1000;

class CDspFlashUpdate {
public:
    explicit CDspFlashUpdate(CTR52K1_Comm& comm, CClock& clock = SystemClock()) : m_comm(comm), m_clock(clock) {}

    // selector 0 = DSP1, 1 = DSP2. Runs to the end of the write wait.
    CUpdateOutcome LoadDspFlashFile(uint32_t selector, const std::string& path, CUpdateProgress& progress);

    // One of the 60 steps of the write wait. Only a rehearsal against the
    // simulator shortens it; a real unit needs the full second.
    uint32_t m_nWriteWaitStepMs = DSP_WRITE_WAIT_STEP_MS;

private:
    CTR52K1_Comm& m_comm;
    CClock& m_clock;
};
