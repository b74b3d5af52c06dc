// An update's outcome as JSON, the one form shared by the update history
// and the command-line tool's results.
#pragma once

#include <nlohmann/json.hpp>

#include "update/UpdateOutcome.h"

// Every fact of the outcome, each only as far as the unit confirmed it.
nlohmann::ordered_json OutcomeJson(const CUpdateOutcome& outcome);
