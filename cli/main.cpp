// tr52k: every operation of the loader from a terminal, a script or SSH.
// Runs the dialog's own procedures; with several --target options each unit
// gets its own connection, trace file and result, side by side.
#include <csignal>
#include <memory>

#include "cli/OutputText.h"
#include "cli/Phases.h"
#include "cli/Terminal.h"
#include "link/NetworkDeviceComm.h"
#include "link/TcpCapture.h"
#include "platform/CommandLine.h"
#include "platform/DebugOutput.h"
#include "platform/File.h"

namespace {
// Ctrl-C or SIGTERM: updates stop at their next step and say what the unit
// now holds; a second one ends the program at once.
extern "C" void OnStopSignal(int signal) {
    g_bStopRequested = true;
    std::signal(signal, SIG_DFL);
}

// One capture file for every unit and connection of this run; each
// connection is its own TCP stream in it. Says at the end when it could not
// be written whole.
class CRunCapture {
public:
    std::optional<CRefusal> Open(const std::string& file) {
        if (file.empty()) return std::nullopt;
        const std::string kind = NonRegularFileKind(file);
        if (!kind.empty())
            return CRefusal{EExitCode::BadArgument,
                            "cannot write the capture file " + file + ": it is " + kind + ", not a regular file"};
        std::string why;
        std::unique_ptr<CPacketFile> packets = CreatePacketFile(file, &why);
        if (!packets) return CRefusal{EExitCode::BadArgument, "cannot write the capture file " + file + ": " + why};
        m_capture = std::make_unique<CTcpCapture>(std::move(packets));
        CNetworkDeviceComm::SetCaptureSink(m_capture.get());
        return std::nullopt;
    }
    ~CRunCapture() {
        CNetworkDeviceComm::SetCaptureSink(nullptr);
        if (m_capture && m_capture->WriteFailed())
            output_text::Put(stderr, "tr52k: the capture file could not be written to the end; it holds what came "
                                     "before\n");
    }

private:
    std::unique_ptr<CTcpCapture> m_capture;
};

int RunUnits(const CCommandLine& line) {
    if (auto refusal = CheckImageArgument(line.base)) return Refuse(line, *refusal);
    // What reading the saved settings traces is not a unit's.
    CCapturingDebugSink settingsTrace;
    SetDebugSink(&settingsTrace);
    struct CSinkReset {
        ~CSinkReset() { SetDebugSink(nullptr); }
    } sinkReset;
    std::vector<CJobRequest> requests;
    if (auto refusal = PlanRequests(line, &requests)) return Refuse(line, *refusal);
    // A unit that stops taking bytes fails the write in the time it has to answer.
    CNetworkDeviceComm::SetDefaultSendTimeoutMs(line.base.timeoutMs);
    if (auto ended = ConfirmOrDryRun(line, requests)) return *ended;
    return ReportResults(line, RunJobs(line, requests));
}
}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away (a closed pipe, a dropped SSH session) must not
    // end an update midway: writes to it fail, and the update goes on.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    CUtf8Arguments utf8(argc, argv);  // non-ASCII paths on Windows too
    [[maybe_unused]] const tty::CConsoleSetup console;  // as it was again when main returns
    CNetworkDeviceComm::StartSocketLayer();  // addresses are looked up before any link exists

    CCommandLine line;
    if (auto ended = ParseCommandLine(utf8.Argc(), utf8.Argv(), &line)) return *ended;
    if (line.command == ECommand::History) return ListHistory(line);
    // A unit that is off costs the connect time-out, not minutes.
    CNetworkDeviceComm::SetConnectTimeoutMs(line.connectTimeoutMs);
    CRunCapture capture;
    if (auto refusal = capture.Open(line.captureFile)) return Refuse(line, *refusal);
    if (line.command == ECommand::Relay) return RelayCommand(line);
    return RunUnits(line);
}
