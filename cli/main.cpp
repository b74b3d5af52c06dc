// tr52k: every operation of the loader from a terminal, a script or SSH.
// Runs the dialog's own procedures; with several --target options each unit
// gets its own connection, trace file and result, side by side.
#include <arpa/inet.h>
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <map>
#include <sstream>
#include <unistd.h>

#include "app/Settings.h"
#include "cli/CliTypes.h"
#include "cli/OutputText.h"
#include "cli/TargetList.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "update/EepromUpdate.h"

namespace {
using output_text::Put;
using output_text::TerminalSafe;

std::string ExitCodeTable() {
    std::string t = "Exit codes:\n";
    for (EExitCode c : AllExitCodes()) t += Format("  %d  %s\n", static_cast<int>(c), ExitCodeText(c));
    return t;
}

int Finish(EExitCode c) { return static_cast<int>(c); }

// "host:port" names a unit on a port of its own (simulators side by side);
// an IPv6 address takes its port as "[addr]:port", and a bare one (several
// colons) keeps the common port. Texts that cannot name a unit are refused
// here, before any unit is touched: a mistyped dotted address must not be
// sent to name resolution as if it were a host name.
bool SplitTarget(const std::string& text, CJobRequest* r, std::string* why) {
    std::string host = text;
    std::string port;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return *why = "no ']' after the IPv6 address", false;
        std::string rest = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return *why = "only \":PORT\" may follow ']'", false;
            port = rest.substr(1);
            if (port.empty()) return *why = "the port is missing after ':'", false;
        }
        in6_addr a6;
        if (::inet_pton(AF_INET6, host.c_str(), &a6) != 1) return *why = "not an IPv6 address", false;
    } else {
        size_t colon = host.find(':');
        if (colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
            if (port.empty()) return *why = "the port is missing after ':'", false;
        }
    }
    if (host.empty()) return *why = "no address", false;
    // No host name holds these: refused rather than handed to name
    // resolution, shown in a listing, or let to put the trace file
    // (FILE.<address>) in another folder.
    for (unsigned char c : host) {
        if (c <= ' ' || c == 0x7F || c == '/')
            return *why = "a host name holds no spaces, control characters or '/'", false;
        if (c >= 0x80) return *why = "a host name is ASCII (an international name is written in its xn-- form)", false;
    }
    if (host.size() >= 260) return *why = Format("%zu characters; at most 259 are accepted", host.size()), false;
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        in_addr a4;
        if (::inet_pton(AF_INET, host.c_str(), &a4) != 1)
            return *why = "not an IPv4 address (four numbers 0 to 255 separated by dots)", false;
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
            std::stoul(port) > 65535)
            return *why = "the port must be a number from 1 to 65535", false;
        r->port = static_cast<uint16_t>(std::stoul(port));
    }
    r->target = host;
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away (a closed pipe, a dropped SSH session) must not
    // end an update midway: writes to it fail, and the update goes on.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"tr52k: TR52K maintenance from the command line (unit information, direct commands, DSP flash "
                 "and configuration EEPROM updates)."};
    app.footer(ExitCodeTable() +
               "\nExamples:\n"
               "  tr52k --target 127.0.0.1 info\n"
               "  tr52k --target 10.0.0.5 --json ping\n"
               "  tr52k --target 10.0.0.5 flash-dsp 1 /fw/TR52K1_DSP1_v2.bin\n"
               "  tr52k --target 10.0.0.5 --target 10.0.0.6 --yes program-eeprom 3 /fw/tr52K_dp_v7.bin\n");
    std::vector<std::string> targets;
    std::string targetsFile, traceFile;
    CJobRequest base;
    bool json = false, quiet = false, yes = false;
    app.add_option("--target,-t", targets, "unit address, or address:port (repeat for several units; default: the saved ETHERNET_IP_ADDR)");
    app.add_option("--targets-file", targetsFile, "file with one unit address per line ('#' starts a comment line)");
    app.add_option("--port", base.port, "TCP port of the unit")->capture_default_str();
    app.add_option("--timeout", base.timeoutMs, "response time-out in milliseconds")->capture_default_str()
        ->check(CLI::Range(1, 600000));
    app.add_option("--trace", traceFile, "write the trace lines to FILE (FILE.<address> with several units)");
    app.add_option("--erase-timeout", base.eraseTimeoutMs,
                   "how long a configuration EEPROM's bulk erase may take, in milliseconds, before the update "
                   "gives up (the EEPROM may then be left erased)")
        ->capture_default_str()
        ->check(CLI::Range(1000u, 86400000u));
    app.add_flag("--json", json, "print one JSON document; no progress");
    app.add_flag("--quiet,-q", quiet, "no progress, only results and errors");
    app.add_flag("--yes,-y", yes, "do not ask before writing firmware (unattended runs)");
    auto* waitStep = app.add_option("--dsp-wait-step-ms", base.dspWaitStepMs,
                   "for rehearsals against the simulator on this machine: length of each of the 60 steps of the "
                   "DSP write wait (default 1000); accepted only when every target is a loopback address")
        ->check(CLI::Range(0, 1000));

    auto* info = app.add_subcommand("info", "show versions, network settings, operational mode and the EEPROM directory");
    auto* ping = app.add_subcommand("ping", "send the null command and show the six reply bytes");
    uint32_t mode = 0;
    auto* modeCmd = app.add_subcommand("mode", "set the operational mode (1, 2 or 3)");
    modeCmd->add_option("MODE", mode, "1: 2 BitSyncs, 3 Decoms, 2 Sims; 2: 1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim; "
                        "3: 1 Decom, 2 Super Sims")->required()->check(CLI::Range(1, 3));
    std::string what;
    auto* turnOff = app.add_subcommand("turn-off", "turn off the consolidated status or all graphs");
    turnOff->add_option("WHAT", what, "status | graphs")->required()->check(CLI::IsMember({"status", "graphs"}));
    uint32_t dsp = 0;
    std::string file;
    auto* flash = app.add_subcommand("flash-dsp", "write a DSP flash image (.bin, at most 786,432 bytes)");
    flash->add_option("DSP", dsp, "1 or 2")->required()->check(CLI::Range(1, 2));
    flash->add_option("FILE", file, "image whose path holds _DSP1_ or _DSP2_ and TR52K1_")->required();
    uint32_t index = 0;
    auto* program = app.add_subcommand("program-eeprom", "erase, program and select a configuration EEPROM");
    program->add_option("INDEX", index, "EEPROM 0 to 11")->required()->check(CLI::Range(0, 11));
    program->add_option("FILE", file, "image whose path holds tr52K")->required();
    auto* select = app.add_subcommand("select-eeprom", "make a configuration EEPROM the unit's current one");
    select->add_option("INDEX", index, "EEPROM 0 to 11")->required()->check(CLI::Range(0, 11));
    app.require_subcommand(1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // The messages quote what was typed.
        std::ostringstream out, err;
        const int code = app.exit(e, out, err);
        Put(stdout, TerminalSafe(out.str()));
        Put(stderr, TerminalSafe(err.str()));
        return code == 0 ? 0 : Finish(EExitCode::BadArgument);
    }
    const std::string operationName = app.get_subcommands().front()->get_name();
    // A refusal before any unit is touched: a line on stderr, or with --json
    // the one document, so a script always has one to read.
    auto refuse = [&](EExitCode code, const std::string& message) {
        if (json) {
            nlohmann::json doc;
            doc["operation"] = operationName;
            doc["units"] = nlohmann::json::array();
            doc["exitCode"] = static_cast<int>(code);
            doc["error"] = message;
            Put(stdout, output_text::JsonText(doc) + "\n");
        } else {
            Put(stderr, TerminalSafe("tr52k: " + message + "\n"));
        }
        return Finish(code);
    };

    if (info->parsed()) base.operation = EOperation::Info;
    if (ping->parsed()) base.operation = EOperation::Ping;
    if (modeCmd->parsed()) { base.operation = EOperation::Mode; base.number = mode; }
    if (turnOff->parsed()) base.operation = what == "status" ? EOperation::TurnOffStatus : EOperation::TurnOffGraphs;
    if (flash->parsed()) { base.operation = EOperation::FlashDsp; base.number = dsp; base.file = file; }
    if (program->parsed()) { base.operation = EOperation::ProgramEeprom; base.number = index; base.file = file; }
    if (select->parsed()) { base.operation = EOperation::SelectEeprom; base.number = index; }

    if (!targetsFile.empty()) {
        std::string why;
        if (!target_list::ReadTargetsFile(targetsFile, &targets, &why))
            return refuse(EExitCode::BadArgument, "cannot use the targets file " + targetsFile + ": " + why);
    }
    CCapturingDebugSink settingsTrace;
    SetDebugSink(&settingsTrace);
    if (targets.empty()) {
        // The dialog's rules: registry first, then ETHERNET_IP_ADDR= on the command line.
        CFileRegistryStore registry(CFileRegistryStore::DefaultPath());
        CTR52K_FlashFileLoaderSettings settings(registry);
        settings.LoadSettings();
        std::vector<std::string> args(argv, argv + argc);
        settings.ApplyCommandLine(args);
        targets.push_back(settings.m_strTargetIp.empty() ? DEFAULT_TARGET_IP : settings.m_strTargetIp);
    }

    std::vector<CJobRequest> requests;
    std::map<std::string, std::string> named;  // unit -> the text that named it first
    for (const auto& t : targets) {
        CJobRequest r = base;
        std::string why;
        if (!SplitTarget(t, &r, &why)) return refuse(EExitCode::BadArgument, "bad target '" + t + "': " + why);
        // Two connections to one unit would interleave two updates in it.
        auto [first, fresh] = named.emplace(target_list::UnitKey(r.target, r.port), t);
        if (!fresh)
            return refuse(EExitCode::BadArgument, "'" + first->second + "' and '" + t +
                                                      "' name the same unit; give each unit once");
        requests.push_back(r);
    }
    // The short DSP write wait would leave a real unit's flash unfinished, so
    // it is for the simulator on this machine only, and refused before any
    // unit hears anything.
    if (waitStep->count() > 0)
        for (size_t i = 0; i < requests.size(); ++i)
            if (!target_list::IsLoopbackHost(requests[i].target))
                return refuse(EExitCode::BadArgument,
                              "--dsp-wait-step-ms is for rehearsals against the simulator on this machine; '" +
                                  targets[i] + "' is not a loopback address (127.0.0.0/8, ::1)");
    if (!traceFile.empty())
        for (const auto& t : targets) {
            const std::string path = targets.size() > 1 ? traceFile + "." + t : traceFile;
            const std::string kind = NonRegularFileKind(path);
            if (!kind.empty())
                return refuse(EExitCode::BadArgument,
                              "cannot write the trace file " + path + ": it is " + kind + ", not a regular file");
        }
    // A unit that stops taking bytes fails the write in the time it has to answer.
    CNetworkDeviceComm::SetDefaultSendTimeoutMs(base.timeoutMs);

    const bool writes = base.operation == EOperation::FlashDsp || base.operation == EOperation::ProgramEeprom;
    const bool terminal = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    base.terminal = ::isatty(STDERR_FILENO);
    base.progress = !json && !quiet;
    if (writes) {
        // A wrong file is refused before anyone is asked or any unit touched;
        // a FIFO or a device is not even opened.
        const std::string kind = NonRegularFileKind(base.file);
        if (!kind.empty())
            return refuse(EExitCode::BadArgument, "cannot read " + base.file + ": it is " + kind + ", not a regular file");
        CImageFile image;
        CFileException error(0, 0, base.file);
        if (!image.Open(base.file, &error))
            return refuse(EExitCode::BadArgument,
                          "cannot read " + base.file + " (" + std::strerror(error.m_lOsError) + ")");
        uint64_t size = image.GetLength();
        if (!yes && !terminal)
            return refuse(EExitCode::Refused, "refusing to write firmware without a terminal to confirm on; add --yes");
        if (!yes) {
            Put(stderr, TerminalSafe(Format(
                            "About to write %s (%s bytes) to %s:\n", base.file.c_str(),
                            WithThousandsCommas(static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFFu))).c_str(),
                            base.operation == EOperation::FlashDsp
                                ? Format("DSP%u flash", base.number).c_str()
                                : Format("configuration EEPROM_%u", base.number).c_str())));
            for (size_t i = 0; i < targets.size(); ++i) {
                CJobRequest r = base;
                r.target = requests[i].target;
                r.port = requests[i].port;
                std::string d;
                Put(stderr, TerminalSafe("  " + targets[i] + ": " +
                                         (DescribeUnit(r, &d) ? d : "no answer (the update will fail)") + "\n"));
            }
            Put(stderr, "Proceed? [y/N] ");
            std::fflush(stderr);
            std::string answer;
            if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
                return refuse(EExitCode::Refused, "not confirmed; nothing was written");
        }
    }

    std::mutex out;
    std::vector<std::future<CJobResult>> jobs;
    for (size_t i = 0; i < targets.size(); ++i) {
        const std::string& t = targets[i];
        CJobRequest r = base;
        r.target = requests[i].target;
        r.port = requests[i].port;
        if (!traceFile.empty()) r.traceFile = targets.size() > 1 ? traceFile + "." + t : traceFile;
        if (targets.size() > 1) r.label = t + ": ";
        // A single unit draws a bar; several units write plain lines.
        if (targets.size() > 1) r.terminal = false;
        jobs.push_back(std::async(std::launch::async, [r, &out] { return RunJob(r, out); }));
    }
    std::vector<CJobResult> results;
    for (auto& j : jobs) results.push_back(j.get());
    SetDebugSink(nullptr);

    EExitCode worst = EExitCode::Success;
    for (const auto& r : results)
        if (r.code != EExitCode::Success && (worst == EExitCode::Success || static_cast<int>(r.code) > static_cast<int>(worst)))
            worst = r.code;
    if (json) {
        nlohmann::json doc;
        doc["operation"] = operationName;
        doc["units"] = nlohmann::json::array();
        for (const auto& r : results) {
            nlohmann::json u = r.fields;
            u["target"] = r.target;
            u["ok"] = r.code == EExitCode::Success;
            u["exitCode"] = static_cast<int>(r.code);
            u["elapsedSeconds"] = r.elapsedSeconds;
            if (!r.error.empty()) u["error"] = r.error;
            doc["units"].push_back(u);
        }
        doc["exitCode"] = static_cast<int>(worst);
        Put(stdout, output_text::JsonText(doc) + "\n");
    } else {
        // The results carry the unit's own texts: printed safe, like all the rest.
        for (const auto& r : results) {
            if (results.size() > 1) Put(stdout, TerminalSafe("== " + r.target + "\n"));
            Put(stdout, TerminalSafe(r.text));
            if (!r.error.empty()) Put(stderr, TerminalSafe("tr52k: " + r.target + ": " + r.error + "\n"));
        }
        if (results.size() > 1) {
            Put(stdout, Format("\n%-24s %-8s %9s  %s\n", "unit", "result", "seconds", "detail"));
            for (const auto& r : results)
                Put(stdout, TerminalSafe(Format("%-24s %-8s %9.1f  %s\n", r.target.c_str(),
                                                r.code == EExitCode::Success ? "ok" : "FAILED", r.elapsedSeconds,
                                                r.code == EExitCode::Success ? "" : r.error.c_str())));
        }
    }
    // Output that could not be written (a closed pipe) does not change what
    // happened to the units, so it does not change the exit code either.
    std::fflush(stdout);
    return Finish(worst);
}
