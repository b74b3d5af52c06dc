// One operation on one unit: its own connection, command object, trace and
// progress, so several units are updated side by side (RunJobs). The update
// procedures are the dialog's own; only the view differs.
#include <chrono>
#include <future>
#include <memory>
#include <optional>

#include "app/OutcomeJson.h"
#include "app/UpdateHistory.h"
#include "cli/JobParts.h"
#include "cli/OutputText.h"
#include "cli/Phases.h"
#include "cli/Terminal.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "platform/UnitLock.h"
#include "protocol/TR52K1_Comm.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"
#include "update/UnitInfo.h"

std::atomic<bool> g_bStopRequested{false};

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

// A connection to one unit and the command object over it. Whatever the
// unit sent before we asked (its status stream) is not a reply, and every
// value, reply and exit code reports the unit's own answer.
struct CUnitSession {
    CNetworkDeviceComm link;
    CTR52K1_Comm comm{&link};
    explicit CUnitSession(const CJobRequest& r) : link(r.target, r.port) {
        if (!link.IsConnected()) return;
        link.OnReceive();
        comm.m_nResponseTimeoutMs = r.timeoutMs;
        comm.m_bOwnFrameOnly = 1;
    }
};

// Where a unit's trace goes when it has no trace file: nowhere, never to
// the terminal.
class CDiscardSink : public CDebugSink {
public:
    void Write(std::string_view) override {}
};

// One unit's run as it goes: the request, its trace, its result so far.
struct CJob {
    const CJobRequest& r;
    std::mutex& out;
    CDebugSink& trace;
    CJobResult result;
    CUnitInfo unit;  // what the unit answered about itself so far

    void Fail(EExitCode code, const std::string& error, const std::string& message = "") {
        result.code = code;
        result.error = error;
        result.message = message.empty() ? error : message;
    }
    bool Failed() const { return result.code != EExitCode::Success; }
    // The outcome's facts and words, and its line in the update history.
    void Report(const CUpdateOutcome& o, const std::string& success, std::optional<int32_t> currentBefore) {
        result.fields.update(OutcomeJson(o));
        if (o.Succeeded())
            result.text = success;
        else
            Fail(ExitCodeFor(o.result), OutcomeError(o), PlainMessage(o, currentBefore, r.redo));
        Record(o);
    }

    // Every update that reached the unit goes into the user's update history.
    void Record(const CUpdateOutcome& o) {
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
};

bool TakesUnitLock(EOperation op) {
    return WritesImage(op) || op == EOperation::SelectEeprom || op == EOperation::Mode;
}

// Each read on its own, so one that fails hides only its own values.
void RunInfo(CJob& job, CTR52K1_Comm& comm) {
    CUnitInfo& u = job.unit;
    ReadUnitInfo(comm, kReadAll, &u);
    job.result.fields = InfoFields(u);
    job.result.text = InfoText(u);
    std::string missing;
    if (!u.deviceRead) missing += ", the device information";
    if (!u.directoryRead) missing += ", the EEPROM directory";
    if (!u.statusRead) missing += ", the operational status";
    if (!missing.empty())
        job.Fail(EExitCode::ExchangeFailed, "The unit did not answer the read of " + missing.substr(2) + ".");
}

void RunPing(CJob& job, CTR52K1_Comm& comm) {
    if (!comm.Ping()) return job.Fail(EExitCode::ExchangeFailed, "No reply to the ping.");
    std::string bytes;
    for (uint8_t b : comm.m_PingReply) bytes += Format("%2.2X ", b);
    job.result.fields["reply"] = bytes;
    job.result.text = bytes + "\n";
}

void RunMode(CJob& job, CTR52K1_Comm& comm) {
    const uint32_t mode = job.r.number;
    if (!comm.SetOperationalMode(static_cast<uint8_t>(mode)))
        return job.Fail(EExitCode::ExchangeFailed,
                        Format("The unit did not acknowledge the mode command (mode %u); its mode is unknown.", mode));
    job.result.fields["operationalMode"] = mode;
    job.result.fields["operationalModeName"] = PersonalityName(mode);
    job.result.text = Format("Operational mode %u: %s\n", mode, PersonalityName(mode));
}

void RunTurnOff(CJob& job, CTR52K1_Comm& comm) {
    if (job.r.operation == EOperation::TurnOffStatus) {
        if (!comm.TurnOff(TURN_OFF_CONSOLIDATED_STATUS))
            return job.Fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off Consolidated Status.");
        job.result.text = "Consolidated status turned off.\n";
        return;
    }
    // The second command only follows a successful first one.
    if (!comm.TurnOff(TURN_OFF_GRAPHS_1))
        return job.Fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off All Graphs (first command; "
                                                   "the second was not sent).");
    if (!comm.TurnOff(TURN_OFF_GRAPHS_2))
        return job.Fail(EExitCode::ExchangeFailed, "The unit did not acknowledge Turn Off All Graphs (second command).");
    job.result.text = "All graphs turned off.\n";
}

void RunFlashDsp(CJob& job, CTR52K1_Comm& comm) {
    std::unique_ptr<CUpdateProgress> progress = MakeTerminalProgress(job.r, job.out);
    CDspFlashUpdate update(comm);
    update.m_nWriteWaitStepMs = job.r.dspWaitStepMs;
    const CUpdateOutcome o = update.LoadDspFlashFile(job.r.number == 2 ? 1 : 0, job.r.file, *progress);
    DebugOutput(ElapsedTimeText(o.startMs, o.endMs));
    job.Report(o, o.messages.empty() ? "" : o.messages.front().text + "\n", std::nullopt);
}

void RunProgramEeprom(CJob& job, CTR52K1_Comm& comm) {
    std::unique_ptr<CUpdateProgress> progress = MakeTerminalProgress(job.r, job.out);
    // What is current before, to say what the unit holds if the update
    // stops midway; then the mode to send back afterwards (a failed read
    // leaves it unknown, and nothing is sent back).
    std::optional<int32_t> currentBefore;
    if (comm.ReadEepromDirectory() && comm.m_wCurrentEepromWord < EEPROM_COUNT)
        currentBefore = comm.m_wCurrentEepromWord;
    comm.ReadOperationalStatus();
    CTickerFlags flags;
    CEepromUpdate update(comm, flags);
    update.m_nEraseTimeoutMs = job.r.eraseTimeoutMs;
    CUpdateOutcome o = update.Load(static_cast<int32_t>(job.r.number), job.r.file, *progress);
    if (o.result == EUpdateResult::InProgress) {
        job.r.unpaced ? update.RunUnpaced() : update.RunPaced(&job.trace);
        o = update.Outcome();
    }
    job.Report(o,
               Format("EEPROM_%u programmed: %s bytes, image id %8.8X; it is the current EEPROM.\n", job.r.number,
                      WithThousandsCommas(o.bytesToWrite).c_str(), o.imageId.value_or(0)),
               currentBefore);
}

void RunSelectEeprom(CJob& job, CTR52K1_Comm& comm) {
    const uint32_t k = job.r.number;
    CUpdateOutcome o;
    const ESelectResult selected = SelectAndConfirmEeprom(comm, k, &o);
    job.result.fields["selectAcknowledged"] = o.selectAcknowledged;
    job.result.fields["directoryRead"] = o.directoryRead;
    if (o.currentEeprom) job.result.fields["currentEeprom"] = *o.currentEeprom;
    if (o.currentEepromWord) job.result.fields["currentEepromWord"] = *o.currentEepromWord;
    switch (selected) {
        case ESelectResult::NotAcknowledged: return job.Fail(EExitCode::ExchangeFailed, "SelectFPGA_ConfigEEPROM() failed.");
        case ESelectResult::DirectoryNotRead:
            return job.Fail(EExitCode::ExchangeFailed,
                            "The select was acknowledged, but the EEPROM directory could not be read back.");
        case ESelectResult::NotCurrent:
            return job.Fail(EExitCode::ExchangeFailed,
                            o.currentEeprom ? Format("The unit reports EEPROM_%d as current, not EEPROM_%u.",
                                                     *o.currentEeprom, k)
                                            : Format("The unit's directory names no EEPROM as current (word 43 reads "
                                                     "%u), not EEPROM_%u.",
                                                     static_cast<unsigned>(o.currentEepromWord.value_or(0)), k));
        case ESelectResult::Current: job.result.text = Format("Current EEPROM: EEPROM_%u\n", k); return;
    }
}

// An update, or a unit named by its serial number: the serial is read
// first, for the record and for the check. False when the run ends here.
bool CheckSerial(CJob& job, CTR52K1_Comm& comm, bool writesImage) {
    if (!writesImage && job.r.expectSerial.empty()) return true;
    ReadUnitInfo(comm, kReadDevice, &job.unit);
    if (job.unit.deviceRead) job.result.serial = job.unit.serialNumber;
    if (!job.result.serial.empty()) job.result.fields["serialNumber"] = job.result.serial;
    if (job.r.expectSerial.empty()) return true;
    if (job.result.serial.empty())
        job.Fail(EExitCode::ExchangeFailed, "The serial number could not be read to compare it with --expect-serial; "
                                            "nothing was sent that writes.");
    else if (job.result.serial != job.r.expectSerial)
        job.Fail(EExitCode::Refused, Format("The unit's serial number is %s, not %s: refused, nothing was written.",
                                            job.result.serial.c_str(), job.r.expectSerial.c_str()));
    return !job.Failed();
}

// Asked to write only what the unit does not hold yet: what proves it holds
// it already is reported, and nothing is written. True when so.
bool SkipWhatIsThere(CJob& job, CTR52K1_Comm& comm) {
    CUpdateOutcome skipped;
    if (!AlreadyThere(comm, job.r, job.unit, &skipped)) return false;
    job.result.fields.update(OutcomeJson(skipped));
    auto proof = [&skipped](const char* name) {
        for (const auto& [key, value] : skipped.proof)
            if (key == name) return value;
        return std::string();
    };
    job.result.text = job.r.operation == EOperation::FlashDsp
                          ? Format("DSP%u already reports version %s: nothing was written.\n", job.r.number,
                                   proof("version").c_str())
                          : Format("EEPROM_%u already holds this image (image id %s, current since %s): nothing was "
                                   "written.\n",
                                   job.r.number, proof("imageId").c_str(), proof("lastUpdate").c_str());
    job.Record(skipped);
    return true;
}

// The operation itself, over a connection that stands.
void RunOperation(CJob& job, CTR52K1_Comm& comm) {
    const EOperation op = job.r.operation;
    const bool writesImage = WritesImage(op);
    if (!CheckSerial(job, comm, writesImage) || (writesImage && SkipWhatIsThere(job, comm))) return;
    switch (op) {
        case EOperation::Info: return RunInfo(job, comm);
        case EOperation::Ping: return RunPing(job, comm);
        case EOperation::Mode: return RunMode(job, comm);
        case EOperation::TurnOffStatus:
        case EOperation::TurnOffGraphs: return RunTurnOff(job, comm);
        case EOperation::FlashDsp: return RunFlashDsp(job, comm);
        case EOperation::ProgramEeprom: return RunProgramEeprom(job, comm);
        case EOperation::SelectEeprom: return RunSelectEeprom(job, comm);
    }
}

// Takes the unit's lock when the operation writes, connects, and runs it.
void RunConnected(CJob& job) {
    const CJobRequest& r = job.r;
    // Two writers at once would interleave in the unit (an EEPROM holding
    // two images, a mode the update then puts back), so whatever writes
    // holds the unit's lock from before the connection to the end. The
    // turn-off commands only quieten what the unit sends and go ahead.
    std::optional<CUnitLock> unitLock;
    if (TakesUnitLock(r.operation)) {
        unitLock.emplace(r.target, r.port);
        if (!unitLock->Held())
            return job.Fail(EExitCode::Refused, unitLock->Refusal());
    }
    CUnitSession unit(r);
    if (!unit.link.IsConnected()) {
        const std::string why = unit.link.LastFailure().text;
        return job.Fail(EExitCode::Unreachable, "cannot connect to " + r.target + " port " + std::to_string(r.port) +
                                                    (why.empty() ? "" : ": " + why));
    }
    RunOperation(job, unit.comm);
}

}  // namespace

CUnitDescription DescribeUnit(const CJobRequest& r) {
    CUnitDescription d;
    CCapturingDebugSink quiet;
    CScopedThreadDebugSink scoped(&quiet);
    CUnitSession unit(r);
    if (!unit.link.IsConnected()) {
        const std::string why = unit.link.LastFailure().text;
        d.text = "cannot be reached" + (why.empty() ? "" : " (" + why + ")");
        return d;
    }
    d.reached = true;
    CTR52K1_Comm& comm = unit.comm;
    CUnitInfo u;
    ReadUnitInfo(comm, kReadDevice, &u);
    if (!u.deviceRead) {
        d.text = "no answer to the device information read";
        return d;
    }
    d.answered = true;
    d.serial = u.serialNumber;
    std::string current = "current EEPROM unknown";
    ReadUnitInfo(comm, kReadDirectory, &u);
    if (u.directoryRead)
        current = u.currentEepromWord < EEPROM_COUNT
                      ? Format("current EEPROM_%u", u.currentEepromWord)
                      : Format("no current EEPROM named (word 43 reads %u)", u.currentEepromWord);
    d.text = Format("serial %s, DSP1 %s, DSP2 %s, DP FPGA %s, %s", u.serialNumber.c_str(),
                    VersionText(u.dsp1FwVersion).c_str(), VersionText(u.dsp2FwVersion).c_str(),
                    VersionText(u.dpFpgaFwVersion).c_str(), current.c_str());
    CUpdateOutcome skipped;
    d.alreadyThere = AlreadyThere(comm, r, u, &skipped);
    if (d.alreadyThere) d.text += "; already holds this image, nothing would be written";
    return d;
}

CJobResult RunJob(const CJobRequest& r, std::mutex& out) {
    const double t0 = Now();
    std::unique_ptr<CFileDebugSink> file;
    if (!r.traceFile.empty()) file = std::make_unique<CFileDebugSink>(r.traceFile);
    CDiscardSink discard;
    CDebugSink& trace = file ? static_cast<CDebugSink&>(*file) : discard;
    CScopedThreadDebugSink scoped(&trace);
    CJob job{r, out, trace, {}, {}};
    job.result.target = r.target;
    job.result.unit = r.unit;
    job.result.started = std::chrono::system_clock::now();
    if (file && !file->IsOpen())
        job.Fail(EExitCode::BadArgument, "cannot write the trace file " + r.traceFile);
    else
        RunConnected(job);
    job.result.elapsedSeconds = Now() - t0;
    job.result.ended = std::chrono::system_clock::now();
    return job.result;
}

std::vector<CJobResult> RunJobs(const CCommandLine& line, std::vector<CJobRequest> requests) {
    const bool terminal = tty::IsTerminal(stderr);
    std::mutex out;
    const output_text::EShell shell = tty::ParentShell();
    auto word = [shell](const std::string& w) { return output_text::ShellWord(w, shell); };
    std::vector<std::future<CJobResult>> jobs;
    for (auto& r : requests) {
        r.terminal = terminal && requests.size() == 1;  // several units write plain lines
        r.progress = !line.json && !line.quiet;
        if (requests.size() > 1) r.label = r.unit + ": ";
        r.redo = "tr52k -t " + word(r.unit) + " --yes " + line.operationName + " " + std::to_string(r.number) + " " +
                 word(r.file) + (r.unpaced ? " --pace none" : "");
        jobs.push_back(std::async(std::launch::async, [r, &out] { return RunJob(r, out); }));
    }
    std::vector<CJobResult> results;
    for (auto& j : jobs) results.push_back(j.get());
    return results;
}
