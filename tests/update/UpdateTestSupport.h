// A recording view and a simulated unit behind the in-memory link, on a
// fake clock, for the update procedures.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "link/MemoryDeviceLink.h"
#include "platform/DebugOutput.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/UnitSimulator.h"
#include "support/ScratchDir.h"
#include "ui/UpdateView.h"

class CRecordingView : public CUpdateView {
public:
    struct Bar { int32_t upper = 255, step = 1, pos = 0; };
    struct Box { std::string text, caption; };
    std::map<EProgressBar, Bar> bars;
    std::map<EUpdateText, std::string> texts;
    std::vector<Box> boxes;
    std::vector<std::pair<uint32_t, uint32_t>> beeps;
    int busy = 0, closeRequests = 0;
    int32_t checkedEeprom = -1;

    void SetLabel(EProgressLabel, const std::string&) override {}
    void SetProgressRange(EProgressBar b, int32_t, int32_t upper) override { bars[b].upper = upper; }
    void SetProgressStep(EProgressBar b, int32_t s) override { bars[b].step = s; }
    void SetProgressPos(EProgressBar b, int32_t p) override { bars[b].pos = p; }
    void StepProgress(EProgressBar b) override { bars[b].pos += bars[b].step; }
    int32_t GetProgressUpper(EProgressBar b) override { return bars[b].upper; }
    std::string GetText(EUpdateText w) override { return texts[w]; }
    void SetText(EUpdateText w, const std::string& t) override { texts[w] = t; }
    void ShowMessageBox(const std::string& t, const std::string& c, EMessageKind) override { boxes.push_back({t, c}); }
    void Beep(uint32_t f, uint32_t d) override { beeps.emplace_back(f, d); }
    void BeginBusy() override { ++busy; }
    void EndBusy() override { --busy; }
    EFileChoice ChooseFile(std::string*, uint32_t*) override { return EFileChoice::Cancelled; }
    int32_t FirstCheckedEeprom() override { return checkedEeprom; }
    void ShowSelectedEeprom(int32_t) override {}
    void ShowEepromDirectory() override {}
    void RequestClose() override { ++closeRequests; }
};

// Frames written to the link go to a simulated unit, with the fault rules
// given; its replies come back through the link when due on the fake clock.
// Keeps every frame with its time, the trace, and a folder for image files.
struct CSimulatedUnit {
    struct Sent { int64_t at; std::vector<uint8_t> bytes; };
    CFakeClock clock;
    CUnitSimulator unit{clock};
    CMemoryDeviceLink link{clock};
    CTR52K1_Comm comm{&link, clock};
    std::map<uint16_t, std::vector<Sent>> sent;  // by command
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
    const ScratchDir dir{"tr52k-upd"};

    explicit CSimulatedUnit(const std::string& rule = "") {
        unit.m_eraseMs = 300;
        EXPECT_TRUE(rule.empty() || ParseSimRule(rule, &unit.m_faultRules.emplace_back(), nullptr)) << rule;
        link.m_onWrite = [this](const std::vector<uint8_t>& f) {
            sent[static_cast<uint16_t>(f[2] | f[3] << 8)].push_back({clock.NowMs(), f});
            int64_t at = clock.NowMs();
            for (const SimReply& r : unit.Feed(f.data(), f.size())) {
                at += r.delayMs;
                link.QueueReplyAt(at, r.bytes);
                if (r.closeAfter) link.LoseConnectionAt(at);
            }
        };
    }
    int Count(uint16_t cmd) { return static_cast<int>(sent[cmd].size()); }
    bool Traced(const std::string& line) const { return trace.Text().find(line) != std::string::npos; }
    std::string File(const std::string& name, const std::vector<uint8_t>& bytes) const { return WriteFile(dir / name, bytes); }
};

// n bytes of a pattern, then 0xFF up to padTo.
inline std::vector<uint8_t> Pattern(size_t n, size_t padTo = 0) {
    std::vector<uint8_t> v(std::max(n, padTo), 0xFF);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + 1);
    return v;
}
