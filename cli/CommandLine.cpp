// The command line of tr52k: its options and commands, its help in plain
// words, and what a line that cannot be parsed gets back.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

#include "cli/OutputText.h"
#include "cli/Phases.h"
#include "platform/Text.h"

namespace {
using output_text::Put;
using output_text::TerminalSafe;

std::string ExitCodeTable() {
    std::string t = "Exit codes:\n";
    for (EExitCode c : AllExitCodes()) t += Format("  %d  %s\n", static_cast<int>(c), ExitCodeText(c));
    return t;
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

// What the commands take, kept until the line is parsed.
struct CCommandValues {
    uint32_t mode = 0, dsp = 0, index = 0;
    std::string what, file, skipVersion, pace = "dialog";
    bool skipIfCurrent = false;
    CLI::App *info, *ping, *mode_, *turnOff, *flash, *program, *select, *history, *relay;
    CLI::Option* waitStep;
};

void AddOptions(CLI::App& app, CCommandValues& v, CCommandLine& l) {
    CJobRequest& base = l.base;
    app.add_option("--target,-t", l.targets, "a unit: its address or name, or address:port; repeat for several units "
                                            "(default: the saved ETHERNET_IP_ADDR)")
        ->type_name("ADDR[:PORT]");
    app.add_option("--targets-file", l.targetsFile, "a file naming one unit per line ('#' starts a comment line)")
        ->type_name("FILE");
    app.add_option("--port", base.port, "the units' TCP port (default 5000)")->type_name("PORT");
    app.add_option("--timeout", base.timeoutMs, "how long the unit has to answer an exchange (default 1000)")
        ->type_name("MS")
        ->check(CLI::Range(1, 600000).description(""));
    app.add_option("--connect-timeout", l.connectTimeoutMs,
                   "how long connecting to a unit may take (default 5000); a unit that is off costs that long")
        ->type_name("MS")
        ->check(CLI::Range(100, 600000).description(""));
    app.add_option("--erase-timeout", base.eraseTimeoutMs,
                   "how long a configuration EEPROM's erase may take (default 600000) before the update gives up, "
                   "leaving the EEPROM erased")
        ->type_name("MS")
        ->check(CLI::Range(1000u, 86400000u).description(""));
    app.add_option("--trace", l.traceFile, "write the trace lines to FILE (FILE.<host:port> with several units)")
        ->type_name("FILE");
    app.add_option("--capture", l.captureFile,
                   "write every byte sent to and received from each unit, with its time, to FILE as a capture "
                   "file (pcap) that Wireshark and tr52k-sim --replay read; one TCP stream per connection")
        ->type_name("FILE");
    app.add_flag("--json", l.json, "print one JSON document (fields in the README); no progress");
    app.add_flag("--quiet,-q", l.quiet, "no progress, only results and errors");
    app.add_flag("--yes,-y", l.yes, "do not ask before writing firmware (unattended runs)");
    app.add_option("--expect-serial", base.expectSerial,
                   "refuse a unit whose serial number is not this one (an address that now belongs to another unit)")
        ->type_name("SERIAL");
    app.add_flag("--dry-run", l.dryRun, "check the file and the units and say what would be written where; send "
                                       "nothing that writes");
    v.waitStep = app.add_option("--dsp-wait-step-ms", base.dspWaitStepMs,
                   "for rehearsals against the simulator on this machine: length of each of the 60 steps of the "
                   "DSP write wait (default 1000); accepted only when every target is a loopback address")
        ->type_name("MS")
        ->check(CLI::Range(0, 1000).description(""));
}

std::string HexVersion(const std::string& v) {
    const std::string digits = v.rfind("0x", 0) == 0 || v.rfind("0X", 0) == 0 ? v.substr(2) : v;
    const bool hex = !digits.empty() && digits.size() <= 8 &&
                     digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    return hex ? std::string() : "VERSION must be 1 to 8 hex digits, e.g. 01020003";
}

void AddUpdateCommands(CLI::App& app, CCommandValues& v) {
    v.flash = app.add_subcommand("flash-dsp", "write a DSP flash image (.bin, at most 786,432 bytes)");
    v.flash->add_option("DSP", v.dsp, "1 or 2")->required()->check(CLI::Range(1, 2).description(""));
    v.flash->add_option("FILE", v.file, "the image; its path holds _DSP1_ or _DSP2_, and TR52K1_")->required();
    v.flash->add_option("--skip-if-version", v.skipVersion,
                        "write nothing when the unit reports exactly this DSP firmware version (hex, as info shows "
                        "it); the file does not name its own version, so say which it is")
        ->check(HexVersion);
    v.program = app.add_subcommand("program-eeprom", "erase, program and select a configuration EEPROM");
    v.program->add_option("INDEX", v.index, "the EEPROM, 0 to 11")->required()->check(CLI::Range(0, 11).description(""));
    v.program->add_option("FILE", v.file, "the image; its path holds tr52K")->required();
    v.program
        ->add_option("--pace", v.pace,
                     "dialog (default): 64 pages per 100 ms, the dialog's rhythm, safe for every unit; none: pages "
                     "back to back, each still acknowledged before the next, for a unit known to keep up")
        ->check(CLI::IsMember({"dialog", "none"}).description(""));
    v.program->add_flag("--skip-if-current", v.skipIfCurrent,
                        "write nothing when the unit provably holds this image already: its serial number, its "
                        "current EEPROM (this one) and that EEPROM's image id read now all match the last update of "
                        "this EEPROM of this unit in the update history, which completed with this same file");
    v.select = app.add_subcommand("select-eeprom", "make a configuration EEPROM the unit's current one");
    v.select->add_option("INDEX", v.index, "the EEPROM, 0 to 11")->required()->check(CLI::Range(0, 11).description(""));
}

void AddCommands(CLI::App& app, CCommandValues& v, CCommandLine& l) {
    v.info = app.add_subcommand("info", "show versions, network settings, operational mode and the EEPROM directory");
    v.ping = app.add_subcommand("ping", "send the null command and show the six reply bytes");
    v.mode_ = app.add_subcommand("mode", "set the operational mode (1, 2 or 3)");
    v.mode_->add_option("MODE", v.mode, "1: 2 BitSyncs, 3 Decoms, 2 Sims; 2: 1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim; "
                                        "3: 1 Decom, 2 Super Sims")->required()->check(CLI::Range(1, 3).description(""));
    v.turnOff = app.add_subcommand("turn-off", "turn off the consolidated status or all graphs");
    v.turnOff->add_option("WHAT", v.what, "status or graphs")->required()
        ->check(CLI::IsMember({"status", "graphs"}).description(""));
    AddUpdateCommands(app, v);
    v.history = app.add_subcommand("history", "show the update history of this user (every update, from either "
                                              "program)");
    v.history->add_flag("--utc", l.historyUtc, "show the times in UTC (default: local time)");
    v.relay = app.add_subcommand("relay", "pass one client connection at a time to a unit, unchanged (with "
                                          "--capture: record the session of any program); until Ctrl-C");
    v.relay->add_option("--listen", l.listen, "where clients connect: an IPv4 address and a port (0 picks one)")
        ->type_name("ADDR:PORT")
        ->required();
    v.relay->add_option("--to", l.relayTo, "the unit")->type_name("UNIT[:PORT]")->required();
}

// The parsed command into the request every unit starts from.
void TakeCommand(const CCommandValues& v, CCommandLine& l) {
    CJobRequest& b = l.base;
    l.waitStepGiven = v.waitStep->count() > 0;
    if (v.history->parsed()) l.command = ECommand::History;
    if (v.relay->parsed()) l.command = ECommand::Relay;
    if (v.ping->parsed()) b.operation = EOperation::Ping;
    if (v.mode_->parsed()) b.operation = EOperation::Mode, b.number = v.mode;
    if (v.turnOff->parsed()) b.operation = v.what == "status" ? EOperation::TurnOffStatus : EOperation::TurnOffGraphs;
    if (v.flash->parsed()) b.operation = EOperation::FlashDsp, b.number = v.dsp, b.file = v.file;
    if (v.flash->parsed() && !v.skipVersion.empty())
        b.skipIfVersion = static_cast<uint32_t>(std::stoul(v.skipVersion, nullptr, 16));
    if (v.program->parsed()) {
        b.operation = EOperation::ProgramEeprom;
        b.number = v.index;
        b.file = v.file;
        b.unpaced = v.pace == "none";
        b.skipIfCurrent = v.skipIfCurrent;
    }
    if (v.select->parsed()) b.operation = EOperation::SelectEeprom, b.number = v.index;
}

// The messages quote what was typed; a script that asked for JSON gets its
// one document here too.
int ParseFailure(CLI::App& app, const CLI::ParseError& e, const std::vector<char*>& args) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    Put(stdout, TerminalSafe(out.str()));
    if (code != 0 && std::find(args.begin() + 1, args.end(), std::string("--json")) != args.end()) {
        nlohmann::json doc;
        doc["units"] = nlohmann::json::array();
        doc["exitCode"] = static_cast<int>(EExitCode::BadArgument);
        doc["error"] = e.what();
        Put(stdout, output_text::JsonText(doc) + "\n");
    }
    Put(stderr, TerminalSafe(output_text::Prefixed("tr52k", err.str())));
    return code == 0 ? 0 : static_cast<int>(EExitCode::BadArgument);
}
}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, CCommandLine* line) {
    // The dialog's own arguments, ETHERNET_IP_ADDR= and NO_INIT_STATUS=, are
    // taken here too; they are not options.
    line->loaderArgs = {argc > 0 ? argv[0] : "tr52k"};
    std::vector<char*> args = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("ETHERNET_IP_ADDR=", 0) == 0 || a.rfind("NO_INIT_STATUS=", 0) == 0)
            line->loaderArgs.push_back(a);
        else
            args.push_back(argv[i]);
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
    CCommandValues values;
    AddOptions(app, values, *line);
    AddCommands(app, values, *line);
    for (CLI::App* sub : app.get_subcommands({})) sub->fallthrough();  // options after the command too
    app.require_subcommand(1);
    try {
        app.parse(static_cast<int>(args.size()), args.data());
    } catch (const CLI::ParseError& e) {
        return ParseFailure(app, e, args);
    }
    line->operationName = app.get_subcommands().front()->get_name();
    TakeCommand(values, *line);
    return std::nullopt;
}
