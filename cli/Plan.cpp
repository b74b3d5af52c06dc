// The plan of a run, made before any unit is touched: the image file is
// checked, and each unit named becomes a request of its own.
#include <cstring>
#include <map>

#include "app/Settings.h"
#include "cli/Phases.h"
#include "cli/TargetList.h"
#include "cli/Terminal.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"
#include "update/ImageFile.h"

std::string UnitName(const CJobRequest& r) {
    const bool v6 = r.target.find(':') != std::string::npos;
    return (v6 ? "[" + r.target + "]" : r.target) + ":" + std::to_string(r.port);
}

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
    if (host.size() > MAX_ADDRESS_CHARS)
        return *why = Format("%zu characters; at most %zu are accepted", host.size(), MAX_ADDRESS_CHARS), false;
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

// A wrong file is refused before anyone is asked or any unit touched: its
// name, its kind (a FIFO or a device is not even opened), its size.
std::optional<CRefusal> CheckImageArgument(const CJobRequest& base) {
    if (!WritesImage(base.operation)) return std::nullopt;
    const bool isDsp = base.operation == EOperation::FlashDsp;
    auto refuse = [](const std::string& m) { return CRefusal{EExitCode::BadArgument, m}; };
    const EUpdateKind kind = isDsp ? EUpdateKind::DspFlash : EUpdateKind::ConfigEeprom;
    CImageFileFacts file;
    switch (CheckImageFile(kind, isDsp ? base.number - 1 : base.number, base.file, &file)) {
        case EUpdateResult::Completed: return std::nullopt;
        case EUpdateResult::FileUnreadable:
            if (!file.notRegular.empty())
                return refuse("cannot read " + base.file + ": it is " + file.notRegular + ", not a regular file");
            return refuse("cannot read " + base.file + " (" + std::strerror(file.osError) + ")");
        case EUpdateResult::FileTooBig:
            return refuse(Format("cannot use %s: %llu bytes, more than the %llu a %s holds", base.file.c_str(),
                                 static_cast<unsigned long long>(file.size),
                                 static_cast<unsigned long long>(ImageSizeLimit(kind)),
                                 isDsp ? "DSP" : "configuration EEPROM"));
        default:
            if (isDsp)
                return refuse(Format("cannot use %s: File chosen is not a valid file for DSP%u (the path must hold "
                                     "_DSP%u_ and TR52K1_)",
                                     base.file.c_str(), base.number, base.number));
            return refuse("cannot use " + base.file +
                          ": File chosen is not a valid file for the Dual Purpose FPGA (the path must hold tr52K)");
    }
}

namespace {
// The units named: --target, --targets-file, else the dialog's saved
// address (registry first, then ETHERNET_IP_ADDR= on the command line).
std::optional<CRefusal> NamedTargets(const CCommandLine& line, std::vector<std::string>* targets) {
    *targets = line.targets;
    std::string why;
    if (!line.targetsFile.empty() && !target_list::ReadTargetsFile(line.targetsFile, targets, &why))
        return CRefusal{EExitCode::BadArgument, "cannot use the targets file " + line.targetsFile + ": " + why};
    if (targets->empty()) {
        std::unique_ptr<CRegistryStore> registry = MakeSettingsStore();
        CTR52K_FlashFileLoaderSettings settings(*registry);
        settings.LoadSettings();
        settings.ApplyCommandLine(line.loaderArgs);
        targets->push_back(settings.m_strTargetIp.empty() ? DEFAULT_TARGET_IP : settings.m_strTargetIp);
    }
    return std::nullopt;
}
}  // namespace

std::optional<CRefusal> PlanRequests(const CCommandLine& line, std::vector<CJobRequest>* requests) {
    std::vector<std::string> targets;
    if (auto refusal = NamedTargets(line, &targets)) return refusal;
    std::map<std::string, std::string> named;  // unit -> the text that named it first
    for (const auto& t : targets) {
        CJobRequest r = line.base;
        std::string why;
        if (!SplitTarget(t, &r, &why)) return CRefusal{EExitCode::BadArgument, "bad target '" + t + "': " + why};
        // Two connections to one unit would interleave two updates in it.
        auto [first, fresh] = named.emplace(target_list::UnitKey(r.target, r.port), t);
        if (!fresh)
            return CRefusal{EExitCode::BadArgument,
                            "'" + first->second + "' and '" + t + "' name the same unit; give each unit once"};
        // The short DSP write wait would leave a real unit's flash
        // unfinished: for the simulator on this machine only.
        if (line.waitStepGiven && !target_list::IsLoopbackHost(r.target))
            return CRefusal{EExitCode::BadArgument,
                            "--dsp-wait-step-ms is for rehearsals against the simulator on this machine; '" + t +
                                "' is not a loopback address (127.0.0.0/8, ::1)"};
        r.unit = UnitName(r);
        requests->push_back(r);
    }
    if (line.traceFile.empty()) return std::nullopt;
    for (auto& r : *requests) {
        r.traceFile = requests->size() > 1 ? line.traceFile + "." + tty::FileNamePart(r.unit) : line.traceFile;
        const std::string kind = NonRegularFileKind(r.traceFile);
        if (!kind.empty())
            return CRefusal{EExitCode::BadArgument,
                            "cannot write the trace file " + r.traceFile + ": it is " + kind + ", not a regular file"};
    }
    return std::nullopt;
}
