// What one run of the command-line tool does to one unit, and how it ended.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// Process exit codes; one value per cause so scripts can tell them apart.
enum class EExitCode : int {
    Success = 0,
    ExchangeFailed = 1,   // the unit answered late, short or not at all
    BadArgument = 2,      // a wrong option, index or file
    Unreachable = 3,      // no connection to the unit
    Refused = 4,          // the operation was not confirmed or not allowed
};
const char* ExitCodeText(EExitCode code);
std::vector<EExitCode> AllExitCodes();

enum class EOperation { Info, Ping, Mode, TurnOffStatus, TurnOffGraphs, FlashDsp, ProgramEeprom, SelectEeprom };
inline bool WritesImage(EOperation op) { return op == EOperation::FlashDsp || op == EOperation::ProgramEeprom; }

// Set by Ctrl-C or SIGTERM: updates stop at their next step and say what
// the unit now holds.
extern std::atomic<bool> g_bStopRequested;

struct CJobRequest {
    EOperation operation = EOperation::Info;
    std::string target;
    uint16_t port = 5000;
    std::string unit;             // host:port, as the unit is shown everywhere
    int32_t timeoutMs = 1000;
    std::string traceFile;        // empty: no trace
    std::string file;             // image for flash-dsp / program-eeprom
    uint32_t number = 0;          // mode, DSP 1|2, EEPROM index
    bool progress = true;         // draw progress on the terminal
    bool terminal = false;        // stderr is a terminal and this is the only unit: progress is one redrawn bar
    std::string label;            // shown in front of progress lines
    uint32_t dspWaitStepMs = 1000;
    uint32_t eraseTimeoutMs = 600000;  // an unattended run gives up on an erase that never ends
    bool unpaced = false;         // program-eeprom --pace none: pages back to back
    bool skipIfCurrent = false;   // program-eeprom: nothing written when the unit provably holds the image
    std::optional<uint32_t> skipIfVersion;  // flash-dsp: nothing written when DSPn reports this version
    std::string expectSerial;     // refuse a unit whose serial number differs
    std::string redo;             // the command that runs this operation again
};

struct CJobResult {
    std::string target;
    std::string unit;      // host:port
    EExitCode code = EExitCode::Success;
    std::string error;     // the system's own text where it has one (JSON)
    std::string message;   // the same failure in plain words (terminal)
    nlohmann::json fields = nlohmann::json::object();
    std::string text;      // human-readable result
    std::string serial;    // as the unit reported it; empty when not read
    std::chrono::system_clock::time_point started, ended;
    double elapsedSeconds = 0;
};

// Runs one operation on one unit over its own connection; thread-safe
// against other jobs (each has its own link, command object and trace).
CJobResult RunJob(const CJobRequest& request, std::mutex& outputMutex);

// The unit's identity for the confirmation prompt and --dry-run.
struct CUnitDescription {
    bool reached = false;   // connected
    bool answered = false;  // the device information read succeeded
    std::string serial;
    std::string text;       // serial, versions, current EEPROM; or why not
    bool alreadyThere = false;  // a skip option was given and the unit provably holds the image
};
CUnitDescription DescribeUnit(const CJobRequest& request);

// tr52k relay: passes one client connection at a time to the unit, unchanged,
// each over a link of its own (so a capture sink set for the links records
// both directions), until Ctrl-C or SIGTERM. `ready` is called once the
// listening address is known. Returns the exit code.
struct CRelayRequest {
    std::string listenAddress;
    uint16_t listenPort = 0;
    std::string unit;  // host
    uint16_t unitPort = 5000;
    std::string unitName;  // host:port, for messages
};
EExitCode RunRelay(const CRelayRequest& request, const std::function<void(uint16_t port)>& ready);
