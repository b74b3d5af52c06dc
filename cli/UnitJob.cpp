// One operation on one unit: its own connection, command object, trace and
// progress, so several units can be updated side by side. The update
// procedures are the dialog's own; only the view differs.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/CliTypes.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "platform/Win32Types.h"
#include "protocol/TR52K1_Comm.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"
#include "update/Ticker.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Ip(uint32_t v) { return Format("%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF); }

// Progress on a terminal: one redrawn bar for a single unit on a terminal,
// plain periodic lines otherwise (logs, pipes, several units at once).
class CTerminalView : public CUpdateView {
public:
    CTerminalView(const CJobRequest& r, std::mutex& out, bool singleUnit)
        : m_req(r), m_out(out), m_bar(r.terminal && singleUnit) {}
    ~CTerminalView() override { EndLine(); }

    struct Box {
        std::string text, caption;
        uint32_t type;
    };
    std::vector<Box> m_boxes;
    std::string m_paths[3];
    int32_t m_eeprom = 0;
    bool m_closeRequested = false;

    void SetLabel(EProgressLabel l, const std::string& t) override { m_labels[static_cast<int>(l)] = t; }
    void SetProgressRange(EProgressBar b, int32_t lo, int32_t hi) override {
        Bar& bar = m_bars[static_cast<int>(b)];
        bar.lower = lo;
        bar.upper = hi;
        bar.started = Now();
        bar.lastDraw = 0;
    }
    void SetProgressStep(EProgressBar b, int32_t s) override { m_bars[static_cast<int>(b)].step = s; }
    void SetProgressPos(EProgressBar b, int32_t p) override {
        Bar& bar = m_bars[static_cast<int>(b)];
        bar.pos = p;
        if (p >= bar.upper && bar.lastDraw != 0) Draw(b, false);  // close a bar that was shown
    }
    void StepProgress(EProgressBar b) override {
        Bar& bar = m_bars[static_cast<int>(b)];
        bar.pos += bar.step;
        if (bar.pos > bar.upper) bar.pos = bar.lower;
        Draw(b, false);
    }
    int32_t GetProgressUpper(EProgressBar b) override { return m_bars[static_cast<int>(b)].upper; }
    std::string GetText(EUpdateText w) override {
        int i = static_cast<int>(w);
        return i < 3 ? m_paths[i] : std::string();
    }
    void SetText(EUpdateText w, const std::string& t) override {
        int i = static_cast<int>(w);
        if (i < 3) m_paths[i] = t;
    }
    int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t type) override {
        m_boxes.push_back({text, caption, type});
        return win32::IDOK;
    }
    void Beep(uint32_t, uint32_t) override {}
    void BeginBusy() override {}
    void EndBusy() override {}
    EFileChoice ChooseFile(std::string*, uint32_t*) override { return EFileChoice::Cancelled; }
    int32_t FirstCheckedEeprom() override { return m_eeprom; }
    void ShowSelectedEeprom(int32_t) override {}
    void ShowEepromDirectory() override {}
    void RequestClose() override { m_closeRequested = true; }

    const Box* FirstError() const {
        for (const auto& b : m_boxes)
            if (b.type & win32::MB_ICONERROR) return &b;
        return nullptr;
    }

    // Bytes per bar step, so the line can show bytes, rate and time left.
    int m_bytesPerStep[2] = {0, 0};

private:
    struct Bar {
        int32_t lower = 0, upper = 255, step = 1, pos = 0;
        double started = Now();
        double lastDraw = 0;
    };

    void Draw(EProgressBar which, bool force) {
        if (!m_req.progress) return;
        Bar& b = m_bars[static_cast<int>(which)];
        const double now = Now();
        const bool done = b.pos >= b.upper;
        const double every = m_bar ? 0.1 : 2.0;
        if (!force && !done && b.lastDraw != 0 && now - b.lastDraw < every) return;
        if (done && b.lastDraw < 0) return;  // the final line is drawn once
        b.lastDraw = done ? -1 : now;
        const int span = std::max(1, b.upper - b.lower);
        const int pos = std::max(0, b.pos - b.lower);
        const double fraction = std::min(1.0, static_cast<double>(pos) / span);
        std::string line = m_req.label + m_labels[static_cast<int>(which)] + " ";
        if (m_bar) {
            const int width = 30;
            int filled = static_cast<int>(fraction * width);
            line += "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.') + "] ";
        }
        line += Format("%3d%%", static_cast<int>(fraction * 100));
        const int bytesPerStep = m_bytesPerStep[static_cast<int>(which)];
        const double elapsed = now - b.started;
        if (bytesPerStep > 0) {
            const double bytes = static_cast<double>(pos) * bytesPerStep;
            line += Format(" %s/%s bytes", WithThousandsCommas(static_cast<uint32_t>(bytes)).c_str(),
                           WithThousandsCommas(static_cast<uint32_t>(span) * static_cast<uint32_t>(bytesPerStep)).c_str());
            if (elapsed > 0.2 && bytes > 0) {
                const double rate = bytes / elapsed;
                const double left = (span * bytesPerStep - bytes) / rate;
                line += Format(" %.1f KiB/s, %d:%02d left", rate / 1024, static_cast<int>(left) / 60, static_cast<int>(left) % 60);
            }
        } else {
            line += Format(" %d/%d", pos, span);
        }
        std::lock_guard<std::mutex> lock(m_out);
        if (m_bar) {
            std::fprintf(stderr, "\r%-100s", line.c_str());
            m_open = !done;
            if (done) std::fputc('\n', stderr);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fflush(stderr);
    }
    void EndLine() {
        if (m_open) {
            std::lock_guard<std::mutex> lock(m_out);
            std::fputc('\n', stderr);
            m_open = false;
        }
    }

    const CJobRequest& m_req;
    std::mutex& m_out;
    bool m_bar;
    bool m_open = false;
    std::string m_labels[2];
    Bar m_bars[2];
};

// Ticker messages for the command-line tool run the handlers on the ticker
// thread itself: the job's own thread only waits for the update to end.
class CDirectTickerTarget : public CTickerTarget {
public:
    // The handlers run on the ticker thread; their trace belongs to this
    // unit's trace like the rest of the job's.
    CDirectTickerTarget(CEepromUpdate& u, CDebugSink* trace) : m_update(u), m_trace(trace) {}
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

bool IsFileProblem(const std::string& caption) {
    return caption == "Invalid File Name" || caption == "Invalid Flash File" || caption == "File Too Big Error" ||
           caption == "Allocation Error" || caption == "File Error";
}

nlohmann::json InfoFields(CTR52K1_Comm& c) {
    nlohmann::json j;
    j["serialNumber"] = c.m_strSerialNumber;
    j["deviceId"] = Utf16ToUtf8(c.m_szDeviceId);
    j["dsp1FwVersion"] = Format("%8.8X", c.m_dwDsp1FwVersion);
    j["dsp2FwVersion"] = Format("%8.8X", c.m_dwDsp2FwVersion);
    j["fioFpgaFwVersion"] = Format("%8.8X", c.m_dwFioFpgaFwVersion);
    j["bridgeFpgaFwVersion"] = Format("%8.8X", c.m_dwBridgeFpgaFwVersion);
    j["dpFpgaFwVersion"] = Format("%8.8X", c.m_dwDpFpgaFwVersion);
    j["personality"] = Format("0x%2.2X", c.m_byPersonality);
    j["personalityName"] = PersonalityName(c.m_byPersonality);
    j["dspBoardPcbRev"] = c.m_byDspBoardPcbRev;
    j["dpFpgaBoardPcbRev"] = c.m_wDpFpgaBoardPcbRev;
    j["dhcpEnabled"] = c.m_bDhcpEnabled != 0;
    j["ipAddress"] = Ip(c.m_dwIpAddress);
    j["operationalMode"] = c.m_nOperationalMode;
    j["operationalModeName"] = PersonalityName(static_cast<uint32_t>(c.m_nOperationalMode));
    j["currentEeprom"] = c.m_nCurrentEeprom;
    j["updateEnable"] = c.m_bUpdateEnable != 0;
    j["eeproms"] = nlohmann::json::array();
    for (int k = 0; k < EEPROM_COUNT; ++k)
        j["eeproms"].push_back({{"index", k},
                                {"imageId", Format("%8.8X", c.m_dwEepromImageId[k])},
                                {"personality", c.m_wEepromPersonality[k]},
                                {"personalityName", PersonalityName(c.m_wEepromPersonality[k])}});
    return j;
}

std::string InfoText(CTR52K1_Comm& c) {
    std::string t;
    t += Format("Serial Number:              %s\n", c.m_strSerialNumber.c_str());
    t += Format("Device ID:                  %s\n", Utf16ToUtf8(c.m_szDeviceId).c_str());
    t += Format("DSP1 Fw Ver:                %8.8X\n", c.m_dwDsp1FwVersion);
    t += Format("DSP2 Fw Ver:                %8.8X\n", c.m_dwDsp2FwVersion);
    t += Format("FIO FPGA Fw Ver:            %8.8X\n", c.m_dwFioFpgaFwVersion);
    t += Format("Bridge FPGA Fw Ver:         %8.8X\n", c.m_dwBridgeFpgaFwVersion);
    t += Format("DP FPGA Fw Ver:             %8.8X\n", c.m_dwDpFpgaFwVersion);
    t += Format("DP FPGA Personality Number: 0x%2.2X %s\n", c.m_byPersonality, PersonalityName(c.m_byPersonality));
    t += Format("DSP Board PCB Revison:      %u\n", c.m_byDspBoardPcbRev);
    t += Format("DP FPGA Board PCB Rev:      %u\n", c.m_wDpFpgaBoardPcbRev);
    t += Format("DHCP Enabled:               %s\n", c.m_bDhcpEnabled ? "yes" : "no");
    t += Format("Device IP Address:          %s\n", Ip(c.m_dwIpAddress).c_str());
    t += Format("Operational Mode:           %d %s\n", c.m_nOperationalMode,
                PersonalityName(static_cast<uint32_t>(c.m_nOperationalMode)));
    t += Format("Updates enabled:            %s\n", c.m_bUpdateEnable ? "yes" : "no");
    for (int k = 0; k < EEPROM_COUNT; ++k)
        t += Format("%c EEPROM_%-2d %8.8X : %s\n", k == c.m_nCurrentEeprom ? '*' : ' ', k, c.m_dwEepromImageId[k],
                    PersonalityName(c.m_wEepromPersonality[k]));
    return t;
}

// The trace of a failed connection names the cause in the system's words.
std::string ConnectFailure(const CCapturingDebugSink& sink) {
    for (const std::string& w : sink.Writes())
        if (w.rfind("WSA", 0) == 0 || w.rfind("***** Host address", 0) == 0 || w.rfind("Unknown value", 0) == 0) {
            std::string s = w;
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
            return s;
        }
    return "";
}

class CTeeSink : public CDebugSink {
public:
    CTeeSink(CDebugSink* a, CDebugSink* b) : m_a(a), m_b(b) {}
    void Write(std::string_view t) override {
        if (m_a) m_a->Write(t);
        if (m_b) m_b->Write(t);
    }

private:
    CDebugSink *m_a, *m_b;
};

}  // namespace

bool DescribeUnit(const CJobRequest& r, std::string* description) {
    CCapturingDebugSink quiet;
    CScopedThreadDebugSink scoped(&quiet);
    CNetworkDeviceComm link(r.target, r.port);
    if (!link.IsConnected()) return false;
    CTR52K1_Comm comm(&link);
    comm.m_nResponseTimeoutMs = r.timeoutMs;
    if (!comm.ReadDeviceInfo()) return false;
    comm.ReadEepromDirectory();
    *description = Format("serial %s, DSP1 %8.8X, DSP2 %8.8X, DP FPGA %8.8X, current EEPROM_%d",
                          comm.m_strSerialNumber.c_str(), comm.m_dwDsp1FwVersion, comm.m_dwDsp2FwVersion,
                          comm.m_dwDpFpgaFwVersion, comm.m_nCurrentEeprom);
    return true;
}

CJobResult RunJob(const CJobRequest& r, std::mutex& out) {
    const double t0 = Now();
    CJobResult result;
    result.target = r.target;
    std::unique_ptr<CFileDebugSink> file;
    if (!r.traceFile.empty()) {
        file = std::make_unique<CFileDebugSink>(r.traceFile);
        if (!file->IsOpen()) {
            result.code = EExitCode::BadArgument;
            result.error = "cannot write the trace file " + r.traceFile;
            return result;
        }
    }
    CCapturingDebugSink captured;
    CTeeSink tee(file.get(), &captured);
    CScopedThreadDebugSink scoped(&tee);
    auto fail = [&](EExitCode code, const std::string& error) {
        result.code = code;
        result.error = error;
    };

    CNetworkDeviceComm link(r.target, r.port);
    if (!link.IsConnected()) {
        std::string why = ConnectFailure(captured);
        fail(EExitCode::Unreachable, "cannot connect to " + r.target + " port " + std::to_string(r.port) +
                                         (why.empty() ? "" : ": " + why));
        result.elapsedSeconds = Now() - t0;
        return result;
    }
    CTR52K1_Comm comm(&link);
    comm.m_nResponseTimeoutMs = r.timeoutMs;
    CTerminalView view(r, out, true);

    switch (r.operation) {
        case EOperation::Info: {
            uint32_t ok = comm.ReadDeviceInfo();
            if (ok) ok = comm.ReadEepromDirectory();
            if (ok) ok = comm.ReadOperationalStatus();
            result.fields = InfoFields(comm);
            result.text = InfoText(comm);
            if (!ok) fail(EExitCode::ExchangeFailed, "The unit did not answer every read.");
            break;
        }
        case EOperation::Ping: {
            uint32_t ok = comm.Ping();
            std::string bytes;
            for (uint8_t b : comm.m_PingReply) bytes += Format("%2.2X ", b);
            result.fields["reply"] = bytes;
            result.text = bytes + "\n";
            if (!ok) fail(EExitCode::ExchangeFailed, "No reply to the ping.");
            break;
        }
        case EOperation::Mode: {
            uint32_t ok = comm.SetOperationalMode(static_cast<uint8_t>(r.number));
            result.fields["operationalMode"] = r.number;
            result.fields["operationalModeName"] = PersonalityName(r.number);
            result.text = Format("Operational mode %u: %s\n", r.number, PersonalityName(r.number));
            if (!ok) fail(EExitCode::ExchangeFailed, "The unit did not acknowledge the mode command.");
            break;
        }
        case EOperation::TurnOffStatus:
            if (!comm.TurnOff(TURN_OFF_CONSOLIDATED_STATUS))
                fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off Consolidated Status.");
            result.text = "Consolidated status turned off.\n";
            break;
        case EOperation::TurnOffGraphs:
            // The second command only follows a successful first one.
            if (!comm.TurnOff(TURN_OFF_GRAPHS_1) || !comm.TurnOff(TURN_OFF_GRAPHS_2))
                fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off All Graphs.");
            result.text = "All graphs turned off.\n";
            break;
        case EOperation::FlashDsp: {
            const uint32_t selector = r.number == 2 ? 1 : 0;
            view.SetText(selector ? EUpdateText::Dsp2File : EUpdateText::Dsp1File, r.file);
            view.m_bytesPerStep[0] = DSP_BLOCK_MAX;
            CDspFlashUpdate update(comm, view);
            update.m_nWriteWaitStepMs = r.dspWaitStepMs;
            if (update.LoadDspFlashFile(selector)) {
                result.text = view.m_boxes.back().text + "\n";
            } else if (const auto* box = view.FirstError()) {
                // A file that fails while it is read ends in the same box as a
                // failed block; the trace tells which, and so does the code.
                const std::string traced = captured.Text();
                const size_t cause = traced.find("CFileException.m_cause = ");
                if (cause != std::string::npos) {
                    std::string why = traced.substr(cause, traced.find('\r', cause) - cause);
                    fail(EExitCode::BadArgument, box->caption + ": " + box->text + " (" + r.file +
                                                     " could not be read: " + why + "; nothing was written)");
                } else {
                    fail(IsFileProblem(box->caption) ? EExitCode::BadArgument : EExitCode::ExchangeFailed,
                         box->caption + ": " + box->text);
                }
            }
            break;
        }
        case EOperation::ProgramEeprom: {
            view.m_eeprom = static_cast<int32_t>(r.number);
            view.SetText(EUpdateText::EepromFile, r.file);
            view.m_bytesPerStep[1] = EEPROM_PAGE_SIZE;
            comm.ReadOperationalStatus();  // the mode to restore afterwards
            CTickerFlags flags;
            CEepromUpdate update(comm, view, flags);
            auto target = std::make_shared<CDirectTickerTarget>(update, &tee);
            uintptr_t handle = RegisterTickerTarget(target);
            update.OnBnClickedEepromLoad();
            if (update.UpdateRunning()) {
                TickerAttachWindow(flags, handle);
                std::thread ticker = StartJoinableTicker(flags, SystemClock());
                while (update.UpdateRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                flags.g_bTickerRun = 0;
                ticker.join();
            }
            UnregisterTickerTarget(handle);
            if (update.m_bLastUpdateComplete) {
                comm.ReadEepromDirectory();
                result.fields["currentEeprom"] = comm.m_nCurrentEeprom;
                result.fields["bytesWritten"] = update.m_nBytesWritten;
                result.fields["imageId"] = Format("%8.8X", comm.m_dwEepromImageId[r.number]);
                result.text = Format("EEPROM_%u programmed: %s bytes, image id %8.8X.\n", r.number,
                                     WithThousandsCommas(update.m_nBytesWritten).c_str(),
                                     comm.m_dwEepromImageId[r.number]);
                if (comm.m_nCurrentEeprom != static_cast<int32_t>(r.number))
                    fail(EExitCode::ExchangeFailed,
                         Format("The image was written, but EEPROM_%u did not become the current EEPROM.", r.number));
            } else if (const auto* box = view.FirstError()) {
                fail(IsFileProblem(box->caption) ? EExitCode::BadArgument : EExitCode::ExchangeFailed,
                     box->caption + ": " + box->text);
            } else {
                fail(EExitCode::ExchangeFailed, "The EEPROM update did not complete.");
            }
            break;
        }
        case EOperation::SelectEeprom: {
            uint32_t ok = comm.SelectFPGA_ConfigEEPROM(r.number);
            if (ok) ok = comm.ReadEepromDirectory();
            result.fields["currentEeprom"] = comm.m_nCurrentEeprom;
            result.text = Format("Current EEPROM: EEPROM_%d\n", comm.m_nCurrentEeprom);
            if (!ok) fail(EExitCode::ExchangeFailed, "SelectFPGA_ConfigEEPROM() failed.");
            break;
        }
    }
    result.elapsedSeconds = Now() - t0;
    return result;
}
