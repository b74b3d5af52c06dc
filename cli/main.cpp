// tr52k: every operation of the loader from a terminal, a script or SSH.
// Runs the dialog's own procedures; with several --target options each unit
// gets its own connection, trace file and result, side by side.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <map>
#include <sstream>

#include "app/Settings.h"
#include "cli/CliTypes.h"
#include "cli/OutputText.h"
#include "cli/TargetList.h"
#include "cli/Terminal.h"
#include "link/NetworkDeviceComm.h"
#include "link/TcpCapture.h"
#include "platform/CommandLine.h"
#include "platform/DebugOutput.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "app/UpdateHistory.h"
#include "update/DspFlashUpdate.h"
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

// Ctrl-C or SIGTERM: updates stop at their next step and say what the unit
// now holds; a second one ends the program at once.
extern "C" void OnStopSignal(int signal) {
    g_bStopRequested = true;
    std::signal(signal, SIG_DFL);
}

// "host:port", with brackets around an IPv6 address: how a unit is shown
// in progress lines, summaries, JSON and trace file names.
std::string UnitName(const CJobRequest& r) {
    const bool v6 = r.target.find(':') != std::string::npos;
    return (v6 ? "[" + r.target + "]" : r.target) + ":" + std::to_string(r.port);
}

// Help in plain words: what each command does, its arguments, and the
// options every command takes (before or after the command's name).
class CHelpFormatter : public CLI::FormatterBase {
public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
        const CLI::App* root = app;
        while (root->get_parent()) root = root->get_parent();
        std::string out = app->get_description() + "\n\n";
        if (app == root) {
            out += "Usage: tr52k [options] COMMAND [arguments] [options]\n\nCommands:\n";
            for (const CLI::App* sub : root->get_subcommands({}))
                out += Line(sub->get_name(), sub->get_description());
            out += "\n'tr52k COMMAND --help' tells more about one command.\n";
        } else {
            std::string usage = "Usage: tr52k [options] " + app->get_name();
            std::string args;
            for (const CLI::Option* o : app->get_options()) {
                if (!o->get_positional()) continue;
                usage += " " + o->get_name(true);
                args += Line(o->get_name(true), o->get_description());
            }
            out += usage + " [options]\n";
            if (!args.empty()) out += "\nArguments:\n" + args;
            std::string own;
            for (const CLI::Option* o : app->get_options())
                if (!o->get_positional() && o->get_name() != "--help") own += Option(o);
            if (!own.empty()) out += "\nOptions of this command:\n" + own;
        }
        out += "\nOptions (before or after the command):\n";
        for (const CLI::Option* o : root->get_options())
            if (!o->get_positional()) out += Option(o);
        return out + "\n" + root->get_footer() + "\n";
    }

private:
    static std::string Line(const std::string& left, const std::string& text) {
        std::string l = "  " + left;
        if (l.size() < 30) return l + std::string(30 - l.size(), ' ') + text + "\n";
        return l + "\n" + std::string(30, ' ') + text + "\n";
    }
    static std::string Option(const CLI::Option* o) {
        std::string names;
        for (const std::string& n : o->get_snames()) names += (names.empty() ? "-" : ", -") + n;
        for (const std::string& n : o->get_lnames()) names += (names.empty() ? "--" : ", --") + n;
        const std::string type = o->get_type_name();
        return Line(names + (type.empty() ? "" : " " + type), o->get_description());
    }
};

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
        // A folder separator on Windows, where it would also move the trace file.
        if (c == '\\') return *why = "a host name holds no '\\'", false;
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
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    CUtf8Arguments utf8(argc, argv);  // non-ASCII paths on Windows too
    argc = utf8.Argc();
    argv = utf8.Argv();
    [[maybe_unused]] const tty::CConsoleSetup console;  // as it was again when main returns
    CNetworkDeviceComm::StartSocketLayer();  // addresses are looked up before any link exists

    // The dialog's own arguments, ETHERNET_IP_ADDR= and NO_INIT_STATUS=, are
    // taken here too; they are not options.
    std::vector<std::string> loaderArgs = {argc > 0 ? argv[0] : "tr52k"};
    std::vector<char*> cliArgs = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("ETHERNET_IP_ADDR=", 0) == 0 || a.rfind("NO_INIT_STATUS=", 0) == 0)
            loaderArgs.push_back(a);
        else
            cliArgs.push_back(argv[i]);
    }

    CLI::App app{"tr52k: TR52K maintenance from the command line: unit information, direct commands, DSP flash "
                 "and configuration EEPROM updates."};
    app.formatter(std::make_shared<CHelpFormatter>());
    app.allow_windows_style_options(false);  // "/fw/x.bin" is a path
    app.set_help_flag("-h,--help", "show this help");
    app.set_version_flag("--version", std::string("tr52k ") + TR52K_VERSION, "show the program's version");
    app.footer(ExitCodeTable() +
               "\nExamples:\n"
               "  tr52k --target 127.0.0.1 info\n"
               "  tr52k --target 10.0.0.5 --json ping\n"
               "  tr52k --target 10.0.0.5 flash-dsp 1 /fw/TR52K1_DSP1_v2.bin\n"
               "  tr52k -t 10.0.0.5 -t 10.0.0.6 --yes program-eeprom 3 /fw/tr52K_dp_v7.bin\n"
               "  tr52k program-eeprom 3 /fw/tr52K_dp_v7.bin -t 10.0.0.5 --expect-serial 00AB-005 --dry-run\n");
    std::vector<std::string> targets;
    std::string targetsFile, traceFile, expectSerial, captureFile;
    CJobRequest base;
    bool json = false, quiet = false, yes = false, dryRun = false;
    int32_t connectTimeoutMs = 5000;
    app.add_option("--target,-t", targets, "a unit: its address or name, or address:port; repeat for several units "
                                          "(default: the saved ETHERNET_IP_ADDR)")
        ->type_name("ADDR[:PORT]");
    app.add_option("--targets-file", targetsFile, "a file naming one unit per line ('#' starts a comment line)")
        ->type_name("FILE");
    app.add_option("--port", base.port, "the units' TCP port (default 5000)")->type_name("PORT");
    app.add_option("--timeout", base.timeoutMs, "how long the unit has to answer an exchange (default 1000)")
        ->type_name("MS")
        ->check(CLI::Range(1, 600000).description(""));
    app.add_option("--connect-timeout", connectTimeoutMs,
                   "how long connecting to a unit may take (default 5000); a unit that is off costs that long")
        ->type_name("MS")
        ->check(CLI::Range(100, 600000).description(""));
    app.add_option("--erase-timeout", base.eraseTimeoutMs,
                   "how long a configuration EEPROM's erase may take (default 600000) before the update gives up, "
                   "leaving the EEPROM erased")
        ->type_name("MS")
        ->check(CLI::Range(1000u, 86400000u).description(""));
    app.add_option("--trace", traceFile, "write the trace lines to FILE (FILE.<host:port> with several units)")
        ->type_name("FILE");
    app.add_option("--capture", captureFile,
                   "write every byte sent to and received from each unit, with its time, to FILE as a capture "
                   "file (pcap) that Wireshark and tr52k-sim --replay read; one TCP stream per connection")
        ->type_name("FILE");
    app.add_flag("--json", json, "print one JSON document (fields in the README); no progress");
    app.add_flag("--quiet,-q", quiet, "no progress, only results and errors");
    app.add_flag("--yes,-y", yes, "do not ask before writing firmware (unattended runs)");
    app.add_option("--expect-serial", expectSerial,
                   "refuse a unit whose serial number is not this one (an address that now belongs to another unit)")
        ->type_name("SERIAL");
    app.add_flag("--dry-run", dryRun, "check the file and the units and say what would be written where; send "
                                     "nothing that writes");
    auto* waitStep = app.add_option("--dsp-wait-step-ms", base.dspWaitStepMs,
                   "for rehearsals against the simulator on this machine: length of each of the 60 steps of the "
                   "DSP write wait (default 1000); accepted only when every target is a loopback address")
        ->type_name("MS")
        ->check(CLI::Range(0, 1000).description(""));

    auto* info = app.add_subcommand("info", "show versions, network settings, operational mode and the EEPROM directory");
    auto* ping = app.add_subcommand("ping", "send the null command and show the six reply bytes");
    uint32_t mode = 0;
    auto* modeCmd = app.add_subcommand("mode", "set the operational mode (1, 2 or 3)");
    modeCmd->add_option("MODE", mode, "1: 2 BitSyncs, 3 Decoms, 2 Sims; 2: 1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim; "
                        "3: 1 Decom, 2 Super Sims")->required()->check(CLI::Range(1, 3).description(""));
    std::string what;
    auto* turnOff = app.add_subcommand("turn-off", "turn off the consolidated status or all graphs");
    turnOff->add_option("WHAT", what, "status or graphs")->required()
        ->check(CLI::IsMember({"status", "graphs"}).description(""));
    uint32_t dsp = 0;
    std::string file;
    auto* flash = app.add_subcommand("flash-dsp", "write a DSP flash image (.bin, at most 786,432 bytes)");
    flash->add_option("DSP", dsp, "1 or 2")->required()->check(CLI::Range(1, 2).description(""));
    flash->add_option("FILE", file, "the image; its path holds _DSP1_ or _DSP2_, and TR52K1_")->required();
    std::string skipVersion;
    flash->add_option("--skip-if-version", skipVersion,
                      "write nothing when the unit reports exactly this DSP firmware version (hex, as info shows "
                      "it); the file does not name its own version, so say which it is")
        ->check([](const std::string& v) {
            const std::string digits = v.rfind("0x", 0) == 0 || v.rfind("0X", 0) == 0 ? v.substr(2) : v;
            const bool hex = !digits.empty() && digits.size() <= 8 &&
                             digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
            return hex ? std::string() : "VERSION must be 1 to 8 hex digits, e.g. 01020003";
        });
    uint32_t index = 0;
    auto* program = app.add_subcommand("program-eeprom", "erase, program and select a configuration EEPROM");
    program->add_option("INDEX", index, "the EEPROM, 0 to 11")->required()->check(CLI::Range(0, 11).description(""));
    program->add_option("FILE", file, "the image; its path holds tr52K")->required();
    std::string pace = "dialog";
    program
        ->add_option("--pace", pace,
                     "dialog (default): 64 pages per 100 ms, the dialog's rhythm, safe for every unit; none: pages "
                     "back to back, each still acknowledged before the next, for a unit known to keep up")
        ->check(CLI::IsMember({"dialog", "none"}).description(""));
    bool skipIfCurrent = false;
    program->add_flag("--skip-if-current", skipIfCurrent,
                      "write nothing when the unit provably holds this image already: its serial number, its current "
                      "EEPROM (this one) and that EEPROM's image id read now all match the last update of this "
                      "EEPROM of this unit in the update history, which completed with this same file");
    auto* select = app.add_subcommand("select-eeprom", "make a configuration EEPROM the unit's current one");
    select->add_option("INDEX", index, "the EEPROM, 0 to 11")->required()->check(CLI::Range(0, 11).description(""));
    auto* history = app.add_subcommand("history", "show the update history of this user (every update, from either "
                                                  "program)");
    bool historyUtc = false;
    history->add_flag("--utc", historyUtc, "show the times in UTC (default: local time)");
    std::string listen, relayTo;
    auto* relay = app.add_subcommand("relay", "pass one client connection at a time to a unit, unchanged (with "
                                              "--capture: record the session of any program); until Ctrl-C");
    relay->add_option("--listen", listen, "where clients connect: an IPv4 address and a port (0 picks one)")
        ->type_name("ADDR:PORT")
        ->required();
    relay->add_option("--to", relayTo, "the unit")->type_name("UNIT[:PORT]")->required();
    for (CLI::App* sub : app.get_subcommands({})) sub->fallthrough();  // options after the command too
    app.require_subcommand(1);
    try {
        app.parse(static_cast<int>(cliArgs.size()), cliArgs.data());
    } catch (const CLI::ParseError& e) {
        // The messages quote what was typed.
        std::ostringstream out, err;
        const int code = app.exit(e, out, err);
        Put(stdout, TerminalSafe(out.str()));
        // A script that asked for JSON gets its one document here too.
        if (code != 0 && std::find(cliArgs.begin() + 1, cliArgs.end(), std::string("--json")) != cliArgs.end()) {
            nlohmann::json doc;
            doc["units"] = nlohmann::json::array();
            doc["exitCode"] = static_cast<int>(EExitCode::BadArgument);
            doc["error"] = e.what();
            Put(stdout, output_text::JsonText(doc) + "\n");
        }
        Put(stderr, TerminalSafe(output_text::Prefixed("tr52k", err.str())));
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

    if (history->parsed()) {
        const std::string path = UpdateHistoryPath();
        std::vector<std::string> lines;
        size_t skipped = 0;
        std::string why;
        if (!ReadUpdateHistory(path, &lines, &skipped, &why)) return refuse(EExitCode::BadArgument, why);
        if (json) {
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
                                            HistoryTimeText(text("time"), historyUtc).c_str(),
                                            text("unit").c_str(), text("serialNumber").c_str(), text("target").c_str(),
                                            text("result").c_str(), sha.substr(0, 12).c_str(), text("file").c_str())));
        }
        if (skipped) Put(stderr, Format("tr52k: %zu lines of %s are not entries and were skipped\n", skipped, path.c_str()));
        return 0;
    }

    // One capture file for every unit and connection of this run; each
    // connection is its own TCP stream in it.
    std::unique_ptr<CTcpCapture> capture;
    if (!captureFile.empty()) {
        const std::string kind = NonRegularFileKind(captureFile);
        if (!kind.empty())
            return refuse(EExitCode::BadArgument,
                          "cannot write the capture file " + captureFile + ": it is " + kind + ", not a regular file");
        std::string why;
        std::unique_ptr<CPacketFile> file = CreatePacketFile(captureFile, &why);
        if (!file) return refuse(EExitCode::BadArgument, "cannot write the capture file " + captureFile + ": " + why);
        capture = std::make_unique<CTcpCapture>(std::move(file));
        CNetworkDeviceComm::SetCaptureSink(capture.get());
    }
    struct CaptureEnd {
        std::unique_ptr<CTcpCapture>& capture;
        ~CaptureEnd() {
            CNetworkDeviceComm::SetCaptureSink(nullptr);
            if (capture && capture->WriteFailed())
                Put(stderr, "tr52k: the capture file could not be written to the end; it holds what came before\n");
        }
    } captureEnd{capture};

    if (relay->parsed()) {
        CRelayRequest rr;
        CJobRequest unit = base;
        std::string why;
        if (!SplitTarget(relayTo, &unit, &why)) return refuse(EExitCode::BadArgument, "bad unit '" + relayTo + "': " + why);
        // Port 0 picks a free port, shown in the first line.
        const size_t colon = listen.rfind(':');
        const std::string port = colon == std::string::npos ? "" : listen.substr(colon + 1);
        in_addr a4;
        if (colon == std::string::npos || port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535 ||
            ::inet_pton(AF_INET, listen.substr(0, colon).c_str(), &a4) != 1)
            return refuse(EExitCode::BadArgument, "bad --listen '" + listen + "': give an IPv4 address and a port");
        rr.listenAddress = listen.substr(0, colon);
        rr.listenPort = static_cast<uint16_t>(std::stoul(port));
        rr.unit = unit.target;
        rr.unitPort = unit.port;
        rr.unitName = UnitName(unit);
        CNetworkDeviceComm::SetConnectTimeoutMs(connectTimeoutMs);
        return Finish(RunRelay(rr, [&](uint16_t port) {
            Put(stdout, TerminalSafe(Format("relaying %s:%u to %s\n", rr.listenAddress.c_str(), port,
                                            rr.unitName.c_str())));
            std::fflush(stdout);
        }));
    }

    if (info->parsed()) base.operation = EOperation::Info;
    if (ping->parsed()) base.operation = EOperation::Ping;
    if (modeCmd->parsed()) { base.operation = EOperation::Mode; base.number = mode; }
    if (turnOff->parsed()) base.operation = what == "status" ? EOperation::TurnOffStatus : EOperation::TurnOffGraphs;
    if (flash->parsed()) { base.operation = EOperation::FlashDsp; base.number = dsp; base.file = file; }
    if (program->parsed()) {
        base.operation = EOperation::ProgramEeprom;
        base.number = index;
        base.file = file;
        base.unpaced = pace == "none";
        base.skipIfCurrent = skipIfCurrent;
    }
    if (flash->parsed() && !skipVersion.empty())
        base.skipIfVersion = static_cast<uint32_t>(std::stoul(skipVersion, nullptr, 16));
    if (select->parsed()) { base.operation = EOperation::SelectEeprom; base.number = index; }
    base.expectSerial = expectSerial;
    const bool writes = base.operation == EOperation::FlashDsp || base.operation == EOperation::ProgramEeprom;

    // A wrong file is refused before anyone is asked or any unit touched:
    // its name, its kind (a FIFO or a device is not even opened), its size.
    if (writes) {
        const bool isDsp = base.operation == EOperation::FlashDsp;
        const std::string kind = NonRegularFileKind(base.file);
        if (!kind.empty())
            return refuse(EExitCode::BadArgument, "cannot read " + base.file + ": it is " + kind + ", not a regular file");
        if (isDsp && CheckDspImagePath(base.number - 1, base.file) != EUpdateResult::Completed)
            return refuse(EExitCode::BadArgument,
                          Format("cannot use %s: File chosen is not a valid file for DSP%u (the path must hold _DSP%u_ "
                                 "and TR52K1_)",
                                 base.file.c_str(), base.number, base.number));
        if (!isDsp && !IsEepromImagePath(base.file))
            return refuse(EExitCode::BadArgument,
                          "cannot use " + base.file +
                              ": File chosen is not a valid file for the Dual Purpose FPGA (the path must hold tr52K)");
        CImageFile image;
        CFileException error(0, 0, base.file);
        if (!image.Open(base.file, &error))
            return refuse(EExitCode::BadArgument,
                          "cannot read " + base.file + " (" + std::strerror(error.m_lOsError) + ")");
        const uint64_t size = image.GetLength();
        const uint64_t limit = isDsp ? DSP_IMAGE_MAX : EEPROM_IMAGE_MAX - 1;
        if (size > limit)
            return refuse(EExitCode::BadArgument,
                          Format("cannot use %s: %llu bytes, more than the %llu a %s holds", base.file.c_str(),
                                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(limit),
                                 isDsp ? "DSP" : "configuration EEPROM"));
    }

    if (!targetsFile.empty()) {
        std::string why;
        if (!target_list::ReadTargetsFile(targetsFile, &targets, &why))
            return refuse(EExitCode::BadArgument, "cannot use the targets file " + targetsFile + ": " + why);
    }
    CCapturingDebugSink settingsTrace;
    SetDebugSink(&settingsTrace);
    if (targets.empty()) {
        // The dialog's rules: registry first, then ETHERNET_IP_ADDR= on the command line.
        std::unique_ptr<CRegistryStore> registry = MakeSettingsStore();
        CTR52K_FlashFileLoaderSettings settings(*registry);
        settings.LoadSettings();
        settings.ApplyCommandLine(loaderArgs);
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
        r.unit = UnitName(r);
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
        for (auto& r : requests) {
            r.traceFile = requests.size() > 1 ? traceFile + "." + tty::FileNamePart(r.unit) : traceFile;
            const std::string kind = NonRegularFileKind(r.traceFile);
            if (!kind.empty())
                return refuse(EExitCode::BadArgument,
                              "cannot write the trace file " + r.traceFile + ": it is " + kind + ", not a regular file");
        }
    // A unit that stops taking bytes fails the write in the time it has to
    // answer; one that is off costs the connect time-out, not minutes.
    CNetworkDeviceComm::SetDefaultSendTimeoutMs(base.timeoutMs);
    CNetworkDeviceComm::SetConnectTimeoutMs(connectTimeoutMs);

    const bool terminal = tty::IsTerminal(stdin) && tty::IsTerminal(stderr);
    const std::string operationWords =
        base.operation == EOperation::FlashDsp        ? Format("write %s to the DSP%u flash", base.file.c_str(), base.number)
        : base.operation == EOperation::ProgramEeprom ? Format("erase configuration EEPROM_%u, write %s to it and make it "
                                                               "current", base.number, base.file.c_str())
        : base.operation == EOperation::Mode          ? Format("set the operational mode to %u", base.number)
        : base.operation == EOperation::SelectEeprom  ? Format("make configuration EEPROM_%u current", base.number)
        : base.operation == EOperation::TurnOffStatus ? std::string("turn off the consolidated status")
        : base.operation == EOperation::TurnOffGraphs ? std::string("turn off all graphs")
                                                      : "run " + operationName;

    // The units are looked at all at once, before the one question (or the
    // plan of a dry run): which answer, and who they are.
    if (dryRun || (writes && !yes)) {
        if (writes && !yes && !dryRun && !terminal)
            return refuse(EExitCode::Refused, "refusing to write firmware without a terminal to confirm on; add --yes");
        std::vector<std::future<CUnitDescription>> looks;
        for (const auto& r : requests) looks.push_back(std::async(std::launch::async, [r] { return DescribeUnit(r); }));
        std::vector<CUnitDescription> units;
        for (auto& l : looks) units.push_back(l.get());
        if (dryRun) {
            EExitCode worst = EExitCode::Success;
            nlohmann::json doc;
            doc["operation"] = operationName;
            doc["dryRun"] = true;
            doc["units"] = nlohmann::json::array();
            std::string text = "Dry run: would " + operationWords + " on:\n";
            for (size_t i = 0; i < requests.size(); ++i) {
                const CUnitDescription& d = units[i];
                EExitCode code = !d.reached ? EExitCode::Unreachable : !d.answered ? EExitCode::ExchangeFailed
                                 : (!expectSerial.empty() && d.serial != expectSerial) ? EExitCode::Refused
                                                                                        : EExitCode::Success;
                std::string note = code == EExitCode::Refused ? " (refused: not the expected serial " + expectSerial + ")"
                                                               : "";
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
            text += "Nothing was sent that writes.\n";
            doc["exitCode"] = static_cast<int>(worst);
            if (json)
                Put(stdout, output_text::JsonText(doc) + "\n");
            else
                Put(stdout, TerminalSafe(text));
            return Finish(worst);
        }
        Put(stderr, TerminalSafe("About to " + operationWords + " on:\n"));
        for (size_t i = 0; i < requests.size(); ++i)
            Put(stderr, TerminalSafe("  " + requests[i].unit + ": " +
                                     (units[i].answered ? units[i].text : units[i].text + " (the update will fail)") +
                                     "\n"));
        Put(stderr, "Proceed? [y/N] ");
        std::fflush(stderr);
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
            return refuse(EExitCode::Refused, "not confirmed; nothing was written");
    }

    base.terminal = tty::IsTerminal(stderr);
    base.progress = !json && !quiet;
    std::mutex out;
    const output_text::EShell shell = tty::ParentShell();
    auto word = [shell](const std::string& w) { return output_text::ShellWord(w, shell); };
    std::vector<std::future<CJobResult>> jobs;
    for (auto& r : requests) {
        r.terminal = base.terminal && requests.size() == 1;  // several units write plain lines
        r.progress = base.progress;
        if (requests.size() > 1) r.label = r.unit + ": ";
        r.redo = "tr52k -t " + word(r.unit) + " --yes " + operationName + " " + std::to_string(r.number) + " " +
                 word(r.file) + (r.unpaced ? " --pace none" : "");
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
        Put(stdout, output_text::JsonText(doc) + "\n");
    } else {
        // The results carry the unit's own texts: printed safe, like all the rest.
        for (const auto& r : results) {
            if (results.size() > 1) Put(stdout, TerminalSafe("== " + r.unit + "\n"));
            Put(stdout, TerminalSafe(r.text));
            if (!r.message.empty()) Put(stderr, TerminalSafe("tr52k: " + r.unit + ": " + r.message + "\n"));
        }
        if (results.size() > 1) {
            Put(stdout, Format("\n%-24s %-8s %9s  %s\n", "unit", "result", "seconds", "detail"));
            for (const auto& r : results)
                Put(stdout, TerminalSafe(Format("%-24s %-8s %9.1f  %s\n", r.unit.c_str(),
                                                r.code == EExitCode::Success ? "ok" : "FAILED", r.elapsedSeconds,
                                                r.code == EExitCode::Success ? "" : r.message.c_str())));
        }
    }
    // Output that could not be written (a closed pipe) does not change what
    // happened to the units, so it does not change the exit code either.
    std::fflush(stdout);
    return Finish(worst);
}
