// What a run says at its end: the results of every unit (text or JSON),
// a refusal, the history; and the commands that are not unit jobs.
#include "app/UpdateHistory.h"
#include "cli/OutputText.h"
#include "cli/Phases.h"
#include "cli/TargetList.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"

using output_text::Put;
using output_text::TerminalSafe;

int Refuse(const CCommandLine& line, const CRefusal& refusal) {
    // A script always has one document to read.
    if (line.json) {
        nlohmann::json doc;
        doc["operation"] = line.operationName;
        doc["units"] = nlohmann::json::array();
        doc["exitCode"] = static_cast<int>(refusal.code);
        doc["error"] = refusal.message;
        Put(stdout, output_text::JsonText(doc) + "\n");
    } else {
        Put(stderr, TerminalSafe("tr52k: " + refusal.message + "\n"));
    }
    return static_cast<int>(refusal.code);
}

namespace {
nlohmann::json ResultsDocument(const CCommandLine& line, const std::vector<CJobResult>& results, EExitCode worst) {
    nlohmann::json doc;
    doc["operation"] = line.operationName;
    doc["units"] = nlohmann::json::array();
    for (const auto& r : results) {
        nlohmann::json u = r.fields;
        u["unit"] = r.unit;
        u["target"] = r.target;
        u["ok"] = r.code == EExitCode::Success;
        u["exitCode"] = static_cast<int>(r.code);
        u["started"] = Iso8601Utc(r.started);
        u["ended"] = Iso8601Utc(r.ended);
        u["elapsedSeconds"] = output_text::Milliseconds(r.elapsedSeconds);
        if (!r.error.empty()) u["error"] = r.error;
        if (!r.message.empty()) u["message"] = r.message;
        doc["units"].push_back(u);
    }
    doc["exitCode"] = static_cast<int>(worst);
    return doc;
}

// The results carry the unit's own texts: printed safe, like all the rest.
void ResultsText(const std::vector<CJobResult>& results) {
    for (const auto& r : results) {
        if (results.size() > 1) Put(stdout, TerminalSafe("== " + r.unit + "\n"));
        Put(stdout, TerminalSafe(r.text));
        if (!r.message.empty()) Put(stderr, TerminalSafe("tr52k: " + r.unit + ": " + r.message + "\n"));
    }
    if (results.size() < 2) return;
    Put(stdout, Format("\n%-24s %-8s %9s  %s\n", "unit", "result", "seconds", "detail"));
    for (const auto& r : results)
        Put(stdout, TerminalSafe(Format("%-24s %-8s %9.1f  %s\n", r.unit.c_str(),
                                        r.code == EExitCode::Success ? "ok" : "FAILED", r.elapsedSeconds,
                                        r.code == EExitCode::Success ? "" : r.message.c_str())));
}
}  // namespace

int ReportResults(const CCommandLine& line, const std::vector<CJobResult>& results) {
    EExitCode worst = EExitCode::Success;
    for (const auto& r : results)
        if (static_cast<int>(r.code) > static_cast<int>(worst)) worst = r.code;
    if (line.json)
        Put(stdout, output_text::JsonText(ResultsDocument(line, results, worst)) + "\n");
    else
        ResultsText(results);
    // Output that could not be written (a closed pipe) does not change what
    // happened to the units, so it does not change the exit code either.
    std::fflush(stdout);
    return static_cast<int>(worst);
}

int ListHistory(const CCommandLine& line) {
    const std::string path = UpdateHistoryPath();
    std::vector<std::string> lines;
    size_t skipped = 0;
    std::string why;
    if (!ReadUpdateHistory(path, &lines, &skipped, &why)) return Refuse(line, {EExitCode::BadArgument, why});
    if (line.json) {
        nlohmann::json doc;
        doc["operation"] = "history";
        doc["file"] = path;
        doc["entries"] = nlohmann::json::array();
        for (const std::string& l : lines) doc["entries"].push_back(nlohmann::json::parse(l, nullptr, false));
        doc["skippedLines"] = skipped;
        doc["exitCode"] = 0;
        Put(stdout, output_text::JsonText(doc) + "\n");
        return 0;
    }
    if (lines.empty()) Put(stdout, TerminalSafe("No updates recorded in " + path + ".\n"));
    for (const std::string& l : lines) {
        const auto j = nlohmann::json::parse(l, nullptr, false);
        auto text = [&](const char* key) { return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string("-"); };
        const std::string sha = text("sha256");
        Put(stdout, TerminalSafe(Format("%s  %-22s %-10s %-9s %-22s %s  %s\n",
                                        HistoryTimeText(text("time"), line.historyUtc).c_str(),
                                        text("unit").c_str(), text("serialNumber").c_str(), text("target").c_str(),
                                        text("result").c_str(), sha.substr(0, 12).c_str(), text("file").c_str())));
    }
    if (skipped) Put(stderr, Format("tr52k: %zu lines of %s are not entries and were skipped\n", skipped, path.c_str()));
    return 0;
}

int RelayCommand(const CCommandLine& line) {
    CRelayRequest rr;
    CJobRequest unit = line.base;
    std::string why;
    if (!SplitTarget(line.relayTo, &unit, &why))
        return Refuse(line, {EExitCode::BadArgument, "bad unit '" + line.relayTo + "': " + why});
    // Port 0 picks a free port, shown in the first line.
    const std::string& listen = line.listen;
    const size_t colon = listen.rfind(':');
    const std::string port = colon == std::string::npos ? "" : listen.substr(colon + 1);
    in_addr a4;
    if (colon == std::string::npos || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535 ||
        ::inet_pton(AF_INET, listen.substr(0, colon).c_str(), &a4) != 1)
        return Refuse(line, {EExitCode::BadArgument, "bad --listen '" + listen + "': give an IPv4 address and a port"});
    rr.listenAddress = listen.substr(0, colon);
    rr.listenPort = static_cast<uint16_t>(std::stoul(port));
    rr.unit = unit.target;
    rr.unitPort = unit.port;
    rr.unitName = UnitName(unit);
    return static_cast<int>(RunRelay(rr, [&](uint16_t p) {
        Put(stdout, TerminalSafe(Format("relaying %s:%u to %s\n", rr.listenAddress.c_str(), p, rr.unitName.c_str())));
        std::fflush(stdout);
    }));
}
