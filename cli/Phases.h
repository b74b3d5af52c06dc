// The command-line tool's run, phase by phase: the command line, the plan
// (the file and the units, before any unit is touched), the confirmation,
// the run of each unit, and the report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliTypes.h"

enum class ECommand { Job, History, Relay };

// Everything the command line says.
struct CCommandLine {
    ECommand command = ECommand::Job;
    std::string operationName;             // "info", "program-eeprom", ...
    CJobRequest base;                      // what each unit's request starts from
    std::vector<std::string> targets;
    std::vector<std::string> loaderArgs;   // ETHERNET_IP_ADDR=, NO_INIT_STATUS= (and argv[0])
    std::string targetsFile, traceFile, captureFile;
    bool json = false, quiet = false, yes = false, dryRun = false;
    bool waitStepGiven = false;            // --dsp-wait-step-ms was given
    int32_t connectTimeoutMs = 5000;
    bool historyUtc = false;
    std::string listen, relayTo;           // relay
};

// A run that ends before any unit is touched, and why.
struct CRefusal {
    EExitCode code = EExitCode::BadArgument;
    std::string message;
};

// Parses the command line into *line; an exit code when the run ends there
// (help, version, a bad option), after saying so.
std::optional<int> ParseCommandLine(int argc, char** argv, CCommandLine* line);

// "host[:port]" or "[v6]:port" into the request's target and port.
bool SplitTarget(const std::string& text, CJobRequest* request, std::string* why);
// "host:port", with brackets around an IPv6 address.
std::string UnitName(const CJobRequest& request);
// The image argument of flash-dsp and program-eeprom: its name, its kind,
// that it opens, its size.
std::optional<CRefusal> CheckImageArgument(const CJobRequest& base);
// One request per unit (the saved address when none is named), each
// checked: duplicates, loopback for the short write wait, trace files.
std::optional<CRefusal> PlanRequests(const CCommandLine& line, std::vector<CJobRequest>* requests);

// The units looked at together before writing: a dry run reports and ends
// (its exit code); otherwise the user is asked once, unless --yes. An empty
// result means go on.
std::optional<int> ConfirmOrDryRun(const CCommandLine& line, const std::vector<CJobRequest>& requests);

// Every unit's job at once; their results in order.
std::vector<CJobResult> RunJobs(const CCommandLine& line, std::vector<CJobRequest> requests);

// Says the refusal (a line on stderr, or the one JSON document) and returns
// its exit code.
int Refuse(const CCommandLine& line, const CRefusal& refusal);
// The results in text or JSON; returns the worst exit code.
int ReportResults(const CCommandLine& line, const std::vector<CJobResult>& results);
// tr52k history.
int ListHistory(const CCommandLine& line);
// tr52k relay.
int RelayCommand(const CCommandLine& line);
