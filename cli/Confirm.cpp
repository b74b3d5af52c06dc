// Before anything is written: the units are looked at together, and either
// the plan of a dry run is reported, or the user is asked once.
#include <future>
#include <iostream>

#include "cli/OutputText.h"
#include "cli/Phases.h"
#include "cli/Terminal.h"
#include "platform/Text.h"

namespace {
using output_text::Put;
using output_text::TerminalSafe;

std::string OperationWords(const CCommandLine& line) {
    const CJobRequest& b = line.base;
    switch (b.operation) {
        case EOperation::FlashDsp: return Format("write %s to the DSP%u flash", b.file.c_str(), b.number);
        case EOperation::ProgramEeprom:
            return Format("erase configuration EEPROM_%u, write %s to it and make it current", b.number, b.file.c_str());
        case EOperation::Mode: return Format("set the operational mode to %u", b.number);
        case EOperation::SelectEeprom: return Format("make configuration EEPROM_%u current", b.number);
        case EOperation::TurnOffStatus: return "turn off the consolidated status";
        case EOperation::TurnOffGraphs: return "turn off all graphs";
        default: return "run " + line.operationName;
    }
}

// Which answer, and who they are: all units at once.
std::vector<CUnitDescription> LookAtUnits(const std::vector<CJobRequest>& requests) {
    std::vector<std::future<CUnitDescription>> looks;
    for (const auto& r : requests) looks.push_back(std::async(std::launch::async, [r] { return DescribeUnit(r); }));
    std::vector<CUnitDescription> units;
    for (auto& l : looks) units.push_back(l.get());
    return units;
}

int DryRun(const CCommandLine& line, const std::vector<CJobRequest>& requests,
           const std::vector<CUnitDescription>& units) {
    const std::string& expected = line.base.expectSerial;
    const bool writes = WritesImage(line.base.operation);
    EExitCode worst = EExitCode::Success;
    nlohmann::json doc;
    doc["operation"] = line.operationName;
    doc["dryRun"] = true;
    doc["units"] = nlohmann::json::array();
    std::string text = "Dry run: would " + OperationWords(line) + " on:\n";
    for (size_t i = 0; i < requests.size(); ++i) {
        const CUnitDescription& d = units[i];
        const EExitCode code = !d.reached ? EExitCode::Unreachable
                               : !d.answered ? EExitCode::ExchangeFailed
                               : (!expected.empty() && d.serial != expected) ? EExitCode::Refused
                                                                             : EExitCode::Success;
        const std::string note =
            code == EExitCode::Refused ? " (refused: not the expected serial " + expected + ")" : "";
        text += "  " + requests[i].unit + ": " + d.text + note + "\n";
        nlohmann::json u;
        u["unit"] = requests[i].unit;
        u["reached"] = d.reached;
        if (d.answered) u["serialNumber"] = d.serial;
        u["description"] = d.text + note;
        // What a real run would do: write, or find the image there already.
        if (writes) u["wouldWrite"] = d.answered && !d.alreadyThere;
        u["exitCode"] = static_cast<int>(code);
        doc["units"].push_back(u);
        if (static_cast<int>(code) > static_cast<int>(worst)) worst = code;
    }
    doc["exitCode"] = static_cast<int>(worst);
    if (line.json)
        Put(stdout, output_text::JsonText(doc) + "\n");
    else
        Put(stdout, TerminalSafe(text + "Nothing was sent that writes.\n"));
    return static_cast<int>(worst);
}
}  // namespace

std::optional<int> ConfirmOrDryRun(const CCommandLine& line, const std::vector<CJobRequest>& requests) {
    const bool writes = WritesImage(line.base.operation);
    if (!line.dryRun && (!writes || line.yes)) return std::nullopt;
    const bool terminal = tty::IsTerminal(stdin) && tty::IsTerminal(stderr);
    if (!line.dryRun && !terminal)
        return Refuse(line, {EExitCode::Refused, "refusing to write firmware without a terminal to confirm on; add --yes"});
    const std::vector<CUnitDescription> units = LookAtUnits(requests);
    if (line.dryRun) return DryRun(line, requests, units);
    Put(stderr, TerminalSafe("About to " + OperationWords(line) + " on:\n"));
    for (size_t i = 0; i < requests.size(); ++i)
        Put(stderr, TerminalSafe("  " + requests[i].unit + ": " +
                                 (units[i].answered ? units[i].text : units[i].text + " (the update will fail)") + "\n"));
    Put(stderr, "Proceed? [y/N] ");
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
        return Refuse(line, {EExitCode::Refused, "not confirmed; nothing was written"});
    return std::nullopt;
}
