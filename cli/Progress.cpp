// Progress on a terminal: one redrawn bar for a single unit on a terminal,
// plain periodic lines otherwise (logs, pipes, several units at once).
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/JobParts.h"
#include "cli/OutputText.h"
#include "cli/Terminal.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"
#include "update/EepromUpdate.h"

namespace {
// Output that cannot be written (a closed pipe) is ignored: the update goes on.
class CTerminalProgress : public CUpdateProgress {
public:
    CTerminalProgress(const CJobRequest& r, std::mutex& out) : m_req(r), m_out(out), m_bar(r.terminal) {}
    ~CTerminalProgress() override { EndLine(); }

    void OnStage(EUpdateStage stage, uint32_t total) override {
        EndLine();
        m_stage = stage;
        m_total = total;
        m_done = 0;
        m_bytes = 0;
        m_bytesTotal = 0;
        m_started = Now();
        m_lastDraw = 0;
        m_finalDrawn = false;
        if (stage == EUpdateStage::Select)
            Print(m_req.label + Format("Selecting EEPROM_%u and restoring the operational mode", m_req.number));
    }
    void OnStep(EUpdateStage stage, uint32_t done) override {
        if (stage != m_stage) return;
        m_done = done;
        Draw();
    }
    // The bytes are counted from what the procedure reports, not from the
    // steps: a DSP image's last block is short, and its total of steps
    // counts whole blocks only.
    void OnBytes(uint64_t done, uint64_t total) override {
        m_bytes = done;
        m_bytesTotal = total;
    }
    void OnRetry(const std::string& notice) override {
        EndLine();
        Print(m_req.label + notice);
    }
    bool StopRequested() override { return g_bStopRequested.load(); }

private:
    std::string Label(EUpdateStage s) const {
        const unsigned n = m_req.number;
        switch (s) {
            case EUpdateStage::Upload: return Format("Uploading the DSP%u image:", n);
            case EUpdateStage::WriteWait: return Format("DSP%u writes its flash, do not power off the unit:", n);
            case EUpdateStage::Erase: return Format("Erasing EEPROM_%u:", n);
            case EUpdateStage::Program: return Format("Writing EEPROM_%u:", n);
            case EUpdateStage::Select: return Format("Selecting EEPROM_%u:", n);
        }
        return "";
    }
    void Print(const std::string& line) {
        if (!m_req.progress) return;
        std::lock_guard<std::mutex> lock(m_out);
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
    void Draw() {
        if (!m_req.progress) return;
        const double now = Now();
        // The upload ends with its last, short block: by the bytes.
        const bool done = m_stage == EUpdateStage::Upload && m_bytesTotal ? m_bytes >= m_bytesTotal
                                                                           : m_total && m_done >= m_total;
        const double every = m_bar ? 0.1 : 2.0;
        if (!done && m_lastDraw != 0 && now - m_lastDraw < every) return;
        if (done && m_finalDrawn) return;
        m_lastDraw = now;
        m_finalDrawn = done;
        const std::string head = m_req.label + Label(m_stage) + " ";
        std::string tail;
        double fraction = 0;
        if (!m_total) {
            // The erase has no known length: how long it has taken so far.
            tail = Format("%.0f s, status read %u", now - m_started, m_done);
        } else {
            uint64_t bytes = 0, bytesTotal = 0;
            if (m_stage == EUpdateStage::Upload) bytes = m_bytes, bytesTotal = m_bytesTotal;
            if (m_stage == EUpdateStage::Program)
                bytes = static_cast<uint64_t>(m_done) * EEPROM_PAGE_SIZE,
                bytesTotal = static_cast<uint64_t>(m_total) * EEPROM_PAGE_SIZE;
            fraction = bytesTotal ? static_cast<double>(bytes) / static_cast<double>(bytesTotal)
                                  : static_cast<double>(m_done) / m_total;
            fraction = std::min(1.0, fraction);
            tail = Format("%3d%%", static_cast<int>(fraction * 100));
            const double elapsed = now - m_started;
            if (bytesTotal) {
                tail += Format(" %s/%s bytes", WithThousandsCommas(static_cast<uint32_t>(bytes)).c_str(),
                               WithThousandsCommas(static_cast<uint32_t>(bytesTotal)).c_str());
                if (m_stage == EUpdateStage::Program) tail += Format(", %u of %u pages", m_done, m_total);
                if (elapsed > 0.2 && bytes > 0) {
                    const double rate = static_cast<double>(bytes) / elapsed;
                    const double left = static_cast<double>(bytesTotal > bytes ? bytesTotal - bytes : 0) / rate;
                    tail += Format(", %.1f KiB/s, %d:%02d left", rate / 1024, static_cast<int>(left) / 60,
                                   static_cast<int>(left) % 60);
                }
            } else if (m_stage == EUpdateStage::WriteWait) {
                tail += Format(" %u of %u s", m_done, m_total);
            } else {
                tail += Format(" %u/%u", m_done, m_total);
            }
        }
        std::lock_guard<std::mutex> lock(m_out);
        if (m_bar) {
            // Redrawn in place: never as wide as the terminal (the last
            // column would wrap the line), the bar only where it fits, and
            // what a longer line before left behind blanked out.
            const size_t width = static_cast<size_t>(std::max(20, tty::TerminalColumns(stderr) - 1));
            std::string line = head;
            const size_t room = width - std::min(width, output_text::Columns(head + tail) + 3);
            if (m_total && room >= 10) {
                const size_t bar = std::min<size_t>(30, room);
                const size_t filled = static_cast<size_t>(fraction * static_cast<double>(bar));
                line += "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] ";
            }
            line = output_text::FitColumns(line + tail, width);
            const size_t columns = output_text::Columns(line);
            std::fprintf(stderr, "\r%s%s", line.c_str(),
                         std::string(m_drawnColumns > columns ? m_drawnColumns - columns : 0, ' ').c_str());
            m_drawnColumns = done ? 0 : columns;
            m_open = !done;
            if (done) std::fputc('\n', stderr);
        } else {
            std::fprintf(stderr, "%s\n", (head + tail).c_str());
        }
        std::fflush(stderr);
    }
    void EndLine() {
        if (!m_open) return;
        std::lock_guard<std::mutex> lock(m_out);
        std::fputc('\n', stderr);
        m_open = false;
        m_drawnColumns = 0;
    }

    const CJobRequest& m_req;
    std::mutex& m_out;
    bool m_bar;
    bool m_open = false;
    EUpdateStage m_stage = EUpdateStage::Upload;
    uint32_t m_total = 0, m_done = 0;
    uint64_t m_bytes = 0, m_bytesTotal = 0;
    size_t m_drawnColumns = 0;  // of the line now shown, to blank out what a shorter one leaves
    double m_started = 0, m_lastDraw = 0;
    bool m_finalDrawn = false;
};
}  // namespace

std::unique_ptr<CUpdateProgress> MakeTerminalProgress(const CJobRequest& r, std::mutex& out) {
    return std::make_unique<CTerminalProgress>(r, out);
}
