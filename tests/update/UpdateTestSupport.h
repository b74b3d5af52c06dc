// A recording view and a simulated unit behind the in-memory link, on a
// fake clock, for the update procedures.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "link/MemoryDeviceLink.h"
#include "protocol/TR52K1_Comm.h"
#include "sim/UnitSimulator.h"
#include "update/UpdateView.h"

class CRecordingView : public CUpdateView {
public:
    struct Bar {
        int32_t lower = 0, upper = 255, step = 1, pos = 0;
    };
    struct Box {
        std::string text, caption;
        uint32_t type;
    };
    std::map<EProgressLabel, std::string> labels;
    std::map<EProgressBar, Bar> bars;
    std::map<EUpdateText, std::string> texts;
    std::vector<Box> boxes;
    std::vector<std::pair<uint32_t, uint32_t>> beeps;
    int busy = 0, maxBusy = 0, closeRequests = 0;
    int32_t checkedEeprom = -1, shownSelected = -99, directoryShows = 0;
    EFileChoice choice = EFileChoice::Cancelled;
    std::string chosenPath;
    std::vector<int32_t> pageSteps;  // bytes-written text after each page tick, for inspection

    void SetLabel(EProgressLabel l, const std::string& t) override { labels[l] = t; }
    void SetProgressRange(EProgressBar b, int32_t lo, int32_t hi) override {
        bars[b].lower = lo;
        bars[b].upper = hi;
    }
    void SetProgressStep(EProgressBar b, int32_t s) override { bars[b].step = s; }
    void SetProgressPos(EProgressBar b, int32_t p) override { bars[b].pos = p; }
    void StepProgress(EProgressBar b) override {
        Bar& bar = bars[b];
        bar.pos += bar.step;
        if (bar.pos > bar.upper) bar.pos = bar.lower + (bar.pos - bar.upper - 1);
    }
    int32_t GetProgressUpper(EProgressBar b) override { return bars[b].upper; }
    std::string GetText(EUpdateText w) override { return texts[w]; }
    void SetText(EUpdateText w, const std::string& t) override { texts[w] = t; }
    int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t type) override {
        boxes.push_back({text, caption, type});
        return 1;
    }
    void Beep(uint32_t f, uint32_t d) override { beeps.emplace_back(f, d); }
    void BeginBusy() override { maxBusy = std::max(maxBusy, ++busy); }
    void EndBusy() override { --busy; }
    EFileChoice ChooseFile(std::string* path, uint32_t* error) override {
        *path = chosenPath;
        *error = 5;
        return choice;
    }
    int32_t FirstCheckedEeprom() override { return checkedEeprom; }
    void ShowSelectedEeprom(int32_t index) override { shownSelected = index; }
    void ShowEepromDirectory() override { ++directoryShows; }
    void RequestClose() override { ++closeRequests; }
};

// Frames written to the link go to a simulated unit; its replies come back
// through the link at once (or after the unit's delay on the fake clock).
struct CSimulatedUnit {
    CFakeClock clock;
    CUnitSimulator unit{clock};
    CMemoryDeviceLink link{clock};
    CTR52K1_Comm comm{&link, clock};
    std::vector<uint16_t> commands;

    CSimulatedUnit() {
        unit.m_eraseMs = 300;
        link.m_onWrite = [this](const std::vector<uint8_t>& f) {
            commands.push_back(static_cast<uint16_t>(f[2] | f[3] << 8));
            for (const SimReply& r : unit.Feed(f.data(), f.size())) link.QueueReplyAt(clock.NowMs() + r.delayMs, r.bytes);
        };
    }
    int Count(uint16_t cmd) const { return static_cast<int>(std::count(commands.begin(), commands.end(), cmd)); }
};

struct CTempDir {
    std::filesystem::path path;
    CTempDir() {
        char tmpl[] = "/tmp/tr52k-upd-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~CTempDir() { std::filesystem::remove_all(path); }
    std::string File(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::filesystem::path p = path / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
};

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed);
    return v;
}
