// What one run of the command-line tool does to one unit, and how it ended.
#pragma once

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
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

struct CJobRequest {
    EOperation operation = EOperation::Info;
    std::string target;
    uint16_t port = 5000;
    int32_t timeoutMs = 1000;
    std::string traceFile;        // empty: no trace
    std::string file;             // image for flash-dsp / program-eeprom
    uint32_t number = 0;          // mode, DSP 1|2, EEPROM index
    bool progress = true;         // draw progress on the terminal
    bool terminal = false;        // stdout is a terminal
    std::string label;            // shown in front of progress lines
    uint32_t dspWaitStepMs = 1000;
    uint32_t eraseTimeoutMs = 600000;  // an unattended run gives up on an erase that never ends
};

struct CJobResult {
    std::string target;
    EExitCode code = EExitCode::Success;
    std::string error;  // the system's own text where it has one
    nlohmann::json fields = nlohmann::json::object();
    std::string text;   // human-readable result
    double elapsedSeconds = 0;
};

// Runs one operation on one unit over its own connection; thread-safe
// against other jobs (each has its own link, command object and trace).
CJobResult RunJob(const CJobRequest& request, std::mutex& outputMutex);

// Reads the unit's identity for the confirmation prompt; false when the
// unit does not answer.
bool DescribeUnit(const CJobRequest& request, std::string* description);
