// The pieces of one unit's run, shared by the command-line tool's files:
// its progress on the terminal, its outcome in words and JSON, the unit's
// information.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/CliTypes.h"
#include "update/UnitInfo.h"
#include "update/UpdateOutcome.h"

class CTR52K1_Comm;

// Seconds on the steady clock, for elapsed times and progress rates.
double Now();

// Progress on the terminal for one unit's update (nothing when the request
// asks for none).
std::unique_ptr<CUpdateProgress> MakeTerminalProgress(const CJobRequest& request, std::mutex& outputMutex);

// How an update's result ends the tool.
EExitCode ExitCodeFor(EUpdateResult result);
// The system's own texts of a failed outcome, "caption: text", in order.
std::string OutcomeError(const CUpdateOutcome& outcome);
// A failed or stopped update in plain words: what went wrong, what the
// unit now holds, and how to do it again.
std::string PlainMessage(const CUpdateOutcome& outcome, std::optional<int32_t> currentBefore, const std::string& redo);

// "info" as JSON fields and as text: only what the unit answered is shown.
nlohmann::json InfoFields(const CUnitInfo& unit);
std::string InfoText(const CUnitInfo& unit);

// Whether the unit provably holds what this run would write (see the
// skip options); on yes, `outcome` is the skipped outcome with its proof.
bool AlreadyThere(CTR52K1_Comm& comm, const CJobRequest& request, const CUnitInfo& unit, CUpdateOutcome* outcome);
