// One operation on one unit: its own connection, command object, trace and
// progress, so several units can be updated side by side. The update
// procedures are the dialog's own; only the view differs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "app/UpdateHistory.h"
#include "cli/CliTypes.h"
#include "cli/OutputText.h"
#include "cli/Terminal.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "platform/UnitLock.h"
#include "platform/Win32Types.h"
#include "protocol/TR52K1_Comm.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"
#include "update/Ticker.h"

std::atomic<bool> g_bStopRequested{false};

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Ip(uint32_t v) { return Format("%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF); }

// Progress on a terminal: one redrawn bar for a single unit on a terminal,
// plain periodic lines otherwise (logs, pipes, several units at once).
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

EExitCode ExitCodeFor(EUpdateResult r) {
    if (r == EUpdateResult::Completed) return EExitCode::Success;
    if (IsFileProblem(r)) return EExitCode::BadArgument;
    if (r == EUpdateResult::Busy) return EExitCode::Refused;
    return EExitCode::ExchangeFailed;
}

// Every fact of the outcome, each only as far as the unit confirmed it.
nlohmann::json OutcomeFields(const CUpdateOutcome& o) {
    nlohmann::json j;
    j["result"] = UpdateResultName(o.result);
    j["resultText"] = UpdateResultText(o.result);
    j["skipped"] = o.result == EUpdateResult::AlreadyCurrent;
    j["writeSent"] = o.writeSent;
    if (!o.proof.empty()) {
        nlohmann::json proof = nlohmann::json::object();
        for (const auto& [name, value] : o.proof) proof[name] = value;
        j["proof"] = proof;
    }
    j["file"] = o.imagePath;
    j["imageRead"] = o.imageRead;
    if (o.imageRead) {
        j["size"] = o.imageSize;
        j["sha256"] = o.imageSha256;
    }
    if (o.kind == EUpdateKind::DspFlash) {
        j["dsp"] = o.target + 1;
        j["startAcknowledged"] = o.startAcknowledged;
        j["blocks"] = o.blocksTotal;
        j["blocksAcknowledged"] = o.blocksAcknowledged;
        j["finishSent"] = o.finishSent;
        j["finishAcknowledged"] = o.finishAcknowledged;
        j["writeWaitDone"] = o.writeWaitDone;
    } else {
        j["eeprom"] = o.target;
        if (o.imageRead) {
            j["bytesToWrite"] = o.bytesToWrite;
            j["sentSha256"] = o.sentSha256;
        }
        j["eraseAcknowledged"] = o.eraseAcknowledged;
        j["eraseCompleted"] = o.eraseCompleted;
        j["pages"] = o.pagesTotal;
        j["pagesAcknowledged"] = o.pagesAcknowledged;
        j["pageRetries"] = o.pageRetries;
        j["bytesWritten"] = static_cast<uint64_t>(o.pagesAcknowledged) * EEPROM_PAGE_SIZE;
        j["selectAcknowledged"] = o.selectAcknowledged;
        j["directoryRead"] = o.directoryRead;
        if (o.currentEeprom) j["currentEeprom"] = *o.currentEeprom;
        if (o.currentEepromWord) j["currentEepromWord"] = *o.currentEepromWord;
        if (o.imageId) j["imageId"] = Format("%8.8X", *o.imageId);
        if (o.modeBefore) j["modeBefore"] = *o.modeBefore;
        j["modeRestored"] = o.modeRestored;
    }
    return j;
}

// The system's own texts of a failed outcome, "caption: text", in order.
std::string OutcomeError(const CUpdateOutcome& o) {
    std::string error;
    for (const CUpdateMessage& m : o.messages) {
        if (!m.error) continue;
        if (!error.empty()) error += "; ";
        error += m.caption + ": " + m.text;
    }
    if (error.empty()) error = UpdateResultText(o.result);
    if (o.result == EUpdateResult::FileUnreadable && !o.fileError.empty())
        error += " (" + o.imagePath + " could not be read: " + o.fileError + "; nothing was written)";
    return error;
}

// Which reads of "info" the unit answered; only those are shown.
struct CInfoReads {
    bool device = false;     // versions, serial, device id, texts, network
    bool directory = false;  // EEPROM directory, current EEPROM, update enable, mode
    bool status = false;     // operational status: the mode
};

nlohmann::json InfoFields(CTR52K1_Comm& c, const CInfoReads& read) {
    nlohmann::json j = nlohmann::json::object();
    if (read.device) {
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
    }
    if (read.directory || read.status) {
        j["operationalMode"] = c.m_nOperationalMode;
        j["operationalModeName"] = PersonalityName(static_cast<uint32_t>(c.m_nOperationalMode));
    }
    if (read.directory) {
        // Only a word that names an EEPROM is one; any other is shown raw.
        if (c.m_wCurrentEepromWord < EEPROM_COUNT) j["currentEeprom"] = c.m_wCurrentEepromWord;
        j["currentEepromWord"] = c.m_wCurrentEepromWord;
        j["updateEnable"] = c.m_bUpdateEnable != 0;
        j["eeproms"] = nlohmann::json::array();
        for (int k = 0; k < EEPROM_COUNT; ++k)
            j["eeproms"].push_back({{"index", k},
                                    {"imageId", Format("%8.8X", c.m_dwEepromImageId[k])},
                                    {"personality", c.m_wEepromPersonality[k]},
                                    {"personalityName", PersonalityName(c.m_wEepromPersonality[k])}});
    }
    return j;
}

std::string InfoText(CTR52K1_Comm& c, const CInfoReads& read) {
    std::string t;
    if (read.device) {
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
    }
    if (read.directory || read.status)
        t += Format("Operational Mode:           %d %s\n", c.m_nOperationalMode,
                    PersonalityName(static_cast<uint32_t>(c.m_nOperationalMode)));
    if (read.directory) {
        t += Format("Updates enabled:            %s\n", c.m_bUpdateEnable ? "yes" : "no");
        if (c.m_wCurrentEepromWord >= EEPROM_COUNT)
            t += Format("Current EEPROM:             none named (word 43 reads %u)\n", c.m_wCurrentEepromWord);
        for (int k = 0; k < EEPROM_COUNT; ++k)
            t += Format("%c EEPROM_%-2d %8.8X : %s\n", k == c.m_wCurrentEepromWord ? '*' : ' ', k,
                        c.m_dwEepromImageId[k], PersonalityName(c.m_wEepromPersonality[k]));
    }
    return t;
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

// A failed or stopped update in plain words: what went wrong, what the
// unit now holds, and how to do it again.
std::string PlainMessage(const CUpdateOutcome& o, std::optional<int32_t> currentBefore, const std::string& redo) {
    std::string m = UpdateResultText(o.result);
    if (o.result == EUpdateResult::FileUnreadable && !o.fileError.empty())
        m += " (" + o.imagePath + " could not be read: " + o.fileError + "; nothing was written)";
    if (o.result == EUpdateResult::FileTooBig)
        m += Format(" (%llu bytes)", static_cast<unsigned long long>(o.imageSize));
    if (o.result == EUpdateResult::ConnectionLostInWriteWait)
        return Format("The connection was lost while DSP%u wrote its flash, %u s before the write wait ended; the "
                      "image may be incomplete. Check DSP%u's version after the unit restarts.",
                      o.target + 1, o.writeWaitSecondsLeft, o.target + 1);
    if (o.result == EUpdateResult::NotCurrent) return m + " " + NotCurrentText(o);
    if (o.result != EUpdateResult::Interrupted) return m;
    if (o.kind == EUpdateKind::DspFlash) {
        const unsigned n = o.target + 1;
        if (o.finishAcknowledged)
            return Format("Interrupted during the write wait: the unit has the whole DSP%u image and is writing its "
                          "flash; do not power it off for another %u s.",
                          n, o.writeWaitSecondsLeft);
        if (o.finishSent)
            return Format("Interrupted during the write wait: the finish of the DSP%u upload was sent but not "
                          "acknowledged, so the unit may be writing its flash; do not power it off for another %u s, "
                          "then check DSP%u's version. To redo: %s",
                          n, o.writeWaitSecondsLeft, n, redo.c_str());
        return Format("Interrupted: the DSP%u upload stopped after %u of %u blocks and the finish was not sent, so the "
                      "unit should still hold its previous DSP%u image. To redo: %s",
                      n, o.blocksAcknowledged, o.blocksTotal, n, redo.c_str());
    }
    std::string current = currentBefore ? Format("EEPROM_%d is still current", *currentBefore)
                                        : std::string("the current EEPROM was not read before the update");
    return Format("Interrupted: EEPROM_%u is erased and %u of %u pages are written; %s. To redo: %s", o.target,
                  o.pagesAcknowledged, o.pagesTotal, current.c_str(), redo.c_str());
}

// Every update that reached the unit goes into the user's update history.
void Record(const CJobResult& result, const CUpdateOutcome& o) {
    if (!o.imageRead) return;
    CHistoryEntry e;
    e.program = "tr52k";
    e.unit = result.unit;
    e.serial = result.serial;
    e.started = result.started;
    e.ended = std::chrono::system_clock::now();
    std::string why;
    if (!AppendUpdateHistory(e, o, &why)) DebugOutput("The update history could not be written: " + why + "\r\n");
}

bool TakesUnitLock(EOperation op) {
    return op == EOperation::FlashDsp || op == EOperation::ProgramEeprom || op == EOperation::SelectEeprom ||
           op == EOperation::Mode;
}

}  // namespace

// Whether the unit provably holds what this run would write, so nothing need
// be written: the image file is read, then
//  - a DSP: the unit reports exactly the version the user named;
//  - an EEPROM: the unit's serial number, its current EEPROM (the target,
//    by the directory's own reply) and that EEPROM's image id now all match
//    the last update of this target of this unit in the history, which
//    completed with this same image (SHA-256).
// Anything unread or unmatched means no. On yes, `o` is the skipped outcome
// with the facts that proved it.
static bool AlreadyThere(CTR52K1_Comm& comm, const CJobRequest& r, const std::string& serial, CUpdateOutcome* o) {
    const bool dsp = r.operation == EOperation::FlashDsp;
    if (dsp ? !r.skipIfVersion : !r.skipIfCurrent) return false;
    *o = CUpdateOutcome{};
    o->kind = dsp ? EUpdateKind::DspFlash : EUpdateKind::ConfigEeprom;
    o->target = dsp ? r.number - 1 : r.number;
    std::vector<uint8_t> image;
    if (serial.empty() ||
        ReadImageFile(r.file, dsp ? DSP_IMAGE_MAX : EEPROM_IMAGE_MAX - 1, &image, o) != EUpdateResult::Completed)
        return false;
    if (dsp) {
        const uint32_t version = r.number == 2 ? comm.m_dwDsp2FwVersion : comm.m_dwDsp1FwVersion;
        if (!comm.m_bVersionsRead || version != *r.skipIfVersion) return false;
        o->proof = {{"serialNumber", serial}, {"dsp", std::to_string(r.number)}, {"version", Format("%8.8X", version)}};
    } else {
        CHistoryRecord last;
        if (!ConfirmCurrentEeprom(comm, r.number, o) || !FindLastUpdate(serial, Format("EEPROM_%u", r.number), &last) ||
            last.result != UpdateResultName(EUpdateResult::Completed) || last.sha256 != o->imageSha256 ||
            last.imageId != Format("%8.8X", *o->imageId))
            return false;
        o->proof = {{"serialNumber", serial},
                    {"currentEeprom", std::to_string(r.number)},
                    {"imageId", last.imageId},
                    {"sha256", o->imageSha256},
                    {"lastUpdate", last.time}};
    }
    o->result = EUpdateResult::AlreadyCurrent;
    return true;
}


CUnitDescription DescribeUnit(const CJobRequest& r) {
    CUnitDescription d;
    CCapturingDebugSink quiet;
    CScopedThreadDebugSink scoped(&quiet);
    CNetworkDeviceComm link(r.target, r.port);
    if (!link.IsConnected()) {
        const std::string why = link.LastFailure().text;
        d.text = "cannot be reached" + (why.empty() ? "" : " (" + why + ")");
        return d;
    }
    d.reached = true;
    // Whatever the unit sent before we asked (its status stream) is not a reply.
    link.OnReceive();
    CTR52K1_Comm comm(&link);
    comm.m_nResponseTimeoutMs = r.timeoutMs;
    comm.m_bOwnFrameOnly = 1;  // what is reported is what the unit answered
    if (!comm.ReadDeviceInfo()) {
        d.text = "no answer to the device information read";
        return d;
    }
    d.answered = true;
    d.serial = comm.m_strSerialNumber;
    std::string current = "current EEPROM unknown";
    if (comm.ReadEepromDirectory())
        current = comm.m_wCurrentEepromWord < EEPROM_COUNT
                      ? Format("current EEPROM_%u", comm.m_wCurrentEepromWord)
                      : Format("no current EEPROM named (word 43 reads %u)", comm.m_wCurrentEepromWord);
    d.text = Format("serial %s, DSP1 %8.8X, DSP2 %8.8X, DP FPGA %8.8X, %s", comm.m_strSerialNumber.c_str(),
                    comm.m_dwDsp1FwVersion, comm.m_dwDsp2FwVersion, comm.m_dwDpFpgaFwVersion, current.c_str());
    CUpdateOutcome skipped;
    d.alreadyThere = AlreadyThere(comm, r, d.serial, &skipped);
    if (d.alreadyThere) d.text += "; already holds this image, nothing would be written";
    return d;
}

CJobResult RunJob(const CJobRequest& r, std::mutex& out) {
    const double t0 = Now();
    CJobResult result;
    result.target = r.target;
    result.unit = r.unit;
    result.started = std::chrono::system_clock::now();
    std::unique_ptr<CFileDebugSink> file;
    if (!r.traceFile.empty()) {
        file = std::make_unique<CFileDebugSink>(r.traceFile);
        if (!file->IsOpen()) {
            result.code = EExitCode::BadArgument;
            result.error = result.message = "cannot write the trace file " + r.traceFile;
            result.ended = std::chrono::system_clock::now();
            return result;
        }
    }
    CCapturingDebugSink captured;
    CTeeSink tee(file.get(), &captured);
    CScopedThreadDebugSink scoped(&tee);
    auto fail = [&](EExitCode code, const std::string& error, const std::string& message = "") {
        result.code = code;
        result.error = error;
        result.message = message.empty() ? error : message;
    };

    // Two writers at once would interleave in the unit (an EEPROM holding
    // two images, a mode the update then puts back), so whatever writes
    // holds the unit's lock from before the connection to the end. The
    // turn-off commands only quieten what the unit sends and go ahead.
    std::optional<CUnitLock> unitLock;
    if (TakesUnitLock(r.operation)) {
        unitLock.emplace(r.target, r.port);
        if (!unitLock->Held()) {
            fail(EExitCode::Refused, unitLock->Error() + (unitLock->HeldElsewhere()
                                                                ? " Nothing was sent; try again once it has ended."
                                                                : " Nothing was sent."));
            result.elapsedSeconds = Now() - t0;
            result.ended = std::chrono::system_clock::now();
            return result;
        }
    }

    CNetworkDeviceComm link(r.target, r.port);
    if (!link.IsConnected()) {
        const std::string why = link.LastFailure().text;
        fail(EExitCode::Unreachable, "cannot connect to " + r.target + " port " + std::to_string(r.port) +
                                         (why.empty() ? "" : ": " + why));
        result.elapsedSeconds = Now() - t0;
        result.ended = std::chrono::system_clock::now();
        return result;
    }
    // Whatever the unit sent before we asked (its status stream) is not a reply.
    link.OnReceive();
    CTR52K1_Comm comm(&link);
    comm.m_nResponseTimeoutMs = r.timeoutMs;
    // Every value, reply and exit code reports the unit's own answer.
    comm.m_bOwnFrameOnly = 1;

    // An update, or a unit named by its serial number: the serial is read
    // first, for the record and for the check.
    const bool writesImage = r.operation == EOperation::FlashDsp || r.operation == EOperation::ProgramEeprom;
    if (writesImage || !r.expectSerial.empty()) {
        if (comm.ReadDeviceInfo()) result.serial = comm.m_strSerialNumber;
        if (!result.serial.empty()) result.fields["serialNumber"] = result.serial;
        if (!r.expectSerial.empty() && result.serial.empty()) {
            fail(EExitCode::ExchangeFailed, "The serial number could not be read to compare it with --expect-serial; "
                                            "nothing was sent that writes.");
        } else if (!r.expectSerial.empty() && result.serial != r.expectSerial) {
            fail(EExitCode::Refused, Format("The unit's serial number is %s, not %s: refused, nothing was written.",
                                            result.serial.c_str(), r.expectSerial.c_str()));
        }
        if (result.code != EExitCode::Success) {
            result.elapsedSeconds = Now() - t0;
            result.ended = std::chrono::system_clock::now();
            return result;
        }
    }

    // Asked to write only what the unit does not hold yet: what proves it
    // holds it already is reported, and nothing is written.
    if (CUpdateOutcome skipped; writesImage && AlreadyThere(comm, r, result.serial, &skipped)) {
        result.fields.update(OutcomeFields(skipped));
        result.text = r.operation == EOperation::FlashDsp
                          ? Format("DSP%u already reports version %s: nothing was written.\n", r.number,
                                   skipped.proof.back().second.c_str())
                          : Format("EEPROM_%u already holds this image (image id %s, current since %s): nothing was "
                                   "written.\n",
                                   r.number, skipped.proof[2].second.c_str(), skipped.proof[4].second.c_str());
        Record(result, skipped);
        result.elapsedSeconds = Now() - t0;
        result.ended = std::chrono::system_clock::now();
        return result;
    }

    switch (r.operation) {
        case EOperation::Info: {
            CInfoReads read;
            // Each read on its own, so one that fails hides only its own values.
            read.device = comm.ReadDeviceInfo() != 0;
            read.directory = comm.ReadEepromDirectory() != 0;
            const int32_t directoryMode = comm.m_nOperationalMode;
            read.status = comm.ReadOperationalStatus() != 0;
            if (!read.status) comm.m_nOperationalMode = directoryMode;  // not the zeros of a failed read
            result.fields = InfoFields(comm, read);
            result.text = InfoText(comm, read);
            std::string missing;
            if (!read.device) missing += ", the device information";
            if (!read.directory) missing += ", the EEPROM directory";
            if (!read.status) missing += ", the operational status";
            if (!missing.empty())
                fail(EExitCode::ExchangeFailed, "The unit did not answer the read of " + missing.substr(2) + ".");
            break;
        }
        case EOperation::Ping: {
            if (comm.Ping()) {
                std::string bytes;
                for (uint8_t b : comm.m_PingReply) bytes += Format("%2.2X ", b);
                result.fields["reply"] = bytes;
                result.text = bytes + "\n";
            } else {
                fail(EExitCode::ExchangeFailed, "No reply to the ping.");
            }
            break;
        }
        case EOperation::Mode: {
            if (comm.SetOperationalMode(static_cast<uint8_t>(r.number))) {
                result.fields["operationalMode"] = r.number;
                result.fields["operationalModeName"] = PersonalityName(r.number);
                result.text = Format("Operational mode %u: %s\n", r.number, PersonalityName(r.number));
            } else {
                fail(EExitCode::ExchangeFailed,
                     Format("The unit did not acknowledge the mode command (mode %u); its mode is unknown.", r.number));
            }
            break;
        }
        case EOperation::TurnOffStatus:
            if (comm.TurnOff(TURN_OFF_CONSOLIDATED_STATUS))
                result.text = "Consolidated status turned off.\n";
            else
                fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off Consolidated Status.");
            break;
        case EOperation::TurnOffGraphs:
            // The second command only follows a successful first one.
            if (!comm.TurnOff(TURN_OFF_GRAPHS_1))
                fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off All Graphs (first command; "
                                                "the second was not sent).");
            else if (!comm.TurnOff(TURN_OFF_GRAPHS_2))
                fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off All Graphs (second command).");
            else
                result.text = "All graphs turned off.\n";
            break;
        case EOperation::FlashDsp: {
            CTerminalProgress progress(r, out);
            CDspFlashUpdate update(comm);
            update.m_nWriteWaitStepMs = r.dspWaitStepMs;
            const CUpdateOutcome o = update.LoadDspFlashFile(r.number == 2 ? 1 : 0, r.file, progress);
            DebugOutput(ElapsedTimeText(o.startMs, o.endMs));
            result.fields.update(OutcomeFields(o));
            if (o.Succeeded())
                result.text = o.messages.front().text + "\n";
            else
                fail(ExitCodeFor(o.result), OutcomeError(o), PlainMessage(o, std::nullopt, r.redo));
            Record(result, o);
            break;
        }
        case EOperation::ProgramEeprom: {
            CTerminalProgress progress(r, out);
            // What is current before, to say what the unit holds if the
            // update stops midway; then the mode to send back afterwards (a
            // failed read leaves it unknown, and nothing is sent back).
            std::optional<int32_t> currentBefore;
            if (comm.ReadEepromDirectory() && comm.m_wCurrentEepromWord < EEPROM_COUNT)
                currentBefore = comm.m_wCurrentEepromWord;
            comm.ReadOperationalStatus();
            CTickerFlags flags;
            CEepromUpdate update(comm, flags);
            update.m_nEraseTimeoutMs = r.eraseTimeoutMs;
            CUpdateOutcome o = update.Load(static_cast<int32_t>(r.number), r.file, progress);
            if (o.result == EUpdateResult::InProgress) {
                r.unpaced ? update.RunUnpaced() : update.RunPaced(&tee);
                o = update.Outcome();
            }
            result.fields.update(OutcomeFields(o));
            if (o.Succeeded())
                result.text = Format("EEPROM_%u programmed: %s bytes, image id %8.8X; it is the current EEPROM.\n",
                                     r.number, WithThousandsCommas(o.bytesToWrite).c_str(),
                                     comm.m_dwEepromImageId[r.number]);
            else
                fail(ExitCodeFor(o.result), OutcomeError(o), PlainMessage(o, currentBefore, r.redo));
            Record(result, o);
            break;
        }
        case EOperation::SelectEeprom: {
            CUpdateOutcome o;
            o.target = r.number;
            const bool acknowledged = comm.SelectFPGA_ConfigEEPROM(r.number) != 0;
            const bool current = acknowledged && ConfirmCurrentEeprom(comm, r.number, &o);
            result.fields["selectAcknowledged"] = acknowledged;
            result.fields["directoryRead"] = o.directoryRead;
            if (o.currentEeprom) result.fields["currentEeprom"] = *o.currentEeprom;
            if (o.currentEepromWord) result.fields["currentEepromWord"] = *o.currentEepromWord;
            if (!acknowledged)
                fail(EExitCode::ExchangeFailed, "SelectFPGA_ConfigEEPROM() failed.");
            else if (!o.directoryRead)
                fail(EExitCode::ExchangeFailed, "The select was acknowledged, but the EEPROM directory could not be read back.");
            else if (!current && o.currentEeprom)
                fail(EExitCode::ExchangeFailed,
                     Format("The unit reports EEPROM_%d as current, not EEPROM_%u.", *o.currentEeprom, r.number));
            else if (!current)
                fail(EExitCode::ExchangeFailed,
                     Format("The unit's directory names no EEPROM as current (word 43 reads %u), not EEPROM_%u.",
                            static_cast<unsigned>(*o.currentEepromWord), r.number));
            else
                result.text = Format("Current EEPROM: EEPROM_%u\n", r.number);
            break;
        }
    }
    result.elapsedSeconds = Now() - t0;
    result.ended = std::chrono::system_clock::now();
    return result;
}
