// tr52k: the loader's operations from a terminal or a script.
//
// Exit codes: 0 success, 1 the unit did not answer or an exchange failed,
// 2 bad arguments, 3 the unit could not be reached.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "app/Settings.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"

namespace {

enum ExitCode { EXIT_OK = 0, EXIT_EXCHANGE_FAILED = 1, EXIT_BAD_ARGUMENT = 2, EXIT_UNREACHABLE = 3 };

struct Options {
    std::string target;
    uint16_t port = TR52K_PORT;
    int timeoutMs = 1000;
    std::string traceFile;
    bool json = false;
};

std::string Ip(uint32_t v) { return Format("%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF); }

int RunInfo(CTR52K1_Comm& comm, const Options& o) {
    uint32_t ok = comm.ReadDeviceInfo();
    if (ok) ok = comm.ReadEepromDirectory();
    if (ok) ok = comm.ReadOperationalStatus();
    if (o.json) {
        nlohmann::json j;
        j["ok"] = ok != 0;
        j["serialNumber"] = comm.m_strSerialNumber;
        j["deviceId"] = Utf16ToUtf8(comm.m_szDeviceId);
        j["dsp1FwVersion"] = Format("%8.8X", comm.m_dwDsp1FwVersion);
        j["dsp2FwVersion"] = Format("%8.8X", comm.m_dwDsp2FwVersion);
        j["fioFpgaFwVersion"] = Format("%8.8X", comm.m_dwFioFpgaFwVersion);
        j["bridgeFpgaFwVersion"] = Format("%8.8X", comm.m_dwBridgeFpgaFwVersion);
        j["dpFpgaFwVersion"] = Format("%8.8X", comm.m_dwDpFpgaFwVersion);
        j["personality"] = comm.m_byPersonality;
        j["personalityName"] = PersonalityName(comm.m_byPersonality);
        j["dspBoardPcbRev"] = comm.m_byDspBoardPcbRev;
        j["dpFpgaBoardPcbRev"] = comm.m_wDpFpgaBoardPcbRev;
        j["dhcpEnabled"] = comm.m_bDhcpEnabled != 0;
        j["ipAddress"] = Ip(comm.m_dwIpAddress);
        j["operationalMode"] = comm.m_nOperationalMode;
        j["operationalModeName"] = PersonalityName(static_cast<uint32_t>(comm.m_nOperationalMode));
        j["currentEeprom"] = comm.m_nCurrentEeprom;
        j["updateEnable"] = comm.m_bUpdateEnable != 0;
        for (int k = 0; k < EEPROM_COUNT; ++k)
            j["eeproms"].push_back({{"index", k},
                                    {"imageId", Format("%8.8X", comm.m_dwEepromImageId[k])},
                                    {"personality", comm.m_wEepromPersonality[k]},
                                    {"personalityName", PersonalityName(comm.m_wEepromPersonality[k])}});
        if (!ok) j["error"] = "The unit did not answer every read.";
        std::printf("%s\n", j.dump(2).c_str());
    } else {
        std::printf("Serial Number:              %s\n", comm.m_strSerialNumber.c_str());
        std::printf("Device ID:                  %s\n", Utf16ToUtf8(comm.m_szDeviceId).c_str());
        std::printf("DSP1 Fw Ver:                %8.8X\n", comm.m_dwDsp1FwVersion);
        std::printf("DSP2 Fw Ver:                %8.8X\n", comm.m_dwDsp2FwVersion);
        std::printf("FIO FPGA Fw Ver:            %8.8X\n", comm.m_dwFioFpgaFwVersion);
        std::printf("Bridge FPGA Fw Ver:         %8.8X\n", comm.m_dwBridgeFpgaFwVersion);
        std::printf("DP FPGA Fw Ver:             %8.8X\n", comm.m_dwDpFpgaFwVersion);
        std::printf("DP FPGA Personality Number: 0x%2.2X %s\n", comm.m_byPersonality,
                    PersonalityName(comm.m_byPersonality));
        std::printf("DSP Board PCB Revison:      %u\n", comm.m_byDspBoardPcbRev);
        std::printf("DP FPGA Board PCB Rev:      %u\n", comm.m_wDpFpgaBoardPcbRev);
        std::printf("DHCP Enabled:               %s\n", comm.m_bDhcpEnabled ? "yes" : "no");
        std::printf("Device IP Address:          %s\n", Ip(comm.m_dwIpAddress).c_str());
        std::printf("Operational Mode:           %d %s\n", comm.m_nOperationalMode,
                    PersonalityName(static_cast<uint32_t>(comm.m_nOperationalMode)));
        std::printf("Updates enabled:            %s\n", comm.m_bUpdateEnable ? "yes" : "no");
        for (int k = 0; k < EEPROM_COUNT; ++k)
            std::printf("%c EEPROM_%-2d %8.8X : %s\n", k == comm.m_nCurrentEeprom ? '*' : ' ', k,
                        comm.m_dwEepromImageId[k], PersonalityName(comm.m_wEepromPersonality[k]));
        if (!ok) std::fprintf(stderr, "tr52k: the unit did not answer every read\n");
    }
    return ok ? EXIT_OK : EXIT_EXCHANGE_FAILED;
}

int RunPing(CTR52K1_Comm& comm, const Options& o) {
    uint32_t ok = comm.Ping();
    std::string bytes;
    for (uint8_t b : comm.m_PingReply) bytes += Format("%2.2X ", b);
    if (o.json) {
        std::printf("%s\n", nlohmann::json({{"ok", ok != 0}, {"reply", bytes}}).dump(2).c_str());
    } else {
        std::printf("%s\n", bytes.c_str());
        if (!ok) std::fprintf(stderr, "tr52k: no reply to the ping\n");
    }
    return ok ? EXIT_OK : EXIT_EXCHANGE_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"TR52K maintenance tool: unit information and direct commands."};
    Options o;
    app.add_option("--target", o.target, "unit address (default: the saved ETHERNET_IP_ADDR)");
    app.add_option("--port", o.port, "TCP port of the unit")->capture_default_str();
    app.add_option("--timeout", o.timeoutMs, "response time-out in milliseconds")->capture_default_str()
        ->check(CLI::Range(1, 600000));
    app.add_option("--trace", o.traceFile, "write the trace lines to FILE");
    app.add_flag("--json", o.json, "print one JSON document");
    auto* info = app.add_subcommand("info", "show what the unit reports about itself");
    auto* ping = app.add_subcommand("ping", "send the null command and show the reply bytes");
    app.require_subcommand(1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? EXIT_OK : EXIT_BAD_ARGUMENT;
    }

    std::unique_ptr<CFileDebugSink> trace;
    CCapturingDebugSink quiet;  // without --trace the lines are kept out of the output
    if (!o.traceFile.empty()) {
        trace = std::make_unique<CFileDebugSink>(o.traceFile);
        if (!trace->IsOpen()) {
            std::fprintf(stderr, "tr52k: cannot write the trace file %s\n", o.traceFile.c_str());
            return EXIT_BAD_ARGUMENT;
        }
        SetDebugSink(trace.get());
    } else {
        SetDebugSink(&quiet);
    }

    if (o.target.empty()) {
        CFileRegistryStore registry(CFileRegistryStore::DefaultPath());
        CTR52K_FlashFileLoaderSettings settings(registry);
        settings.LoadSettings();
        o.target = settings.m_strTargetIp.empty() ? DEFAULT_TARGET_IP : settings.m_strTargetIp;
    }

    int rc;
    {
        CNetworkDeviceComm link(o.target, o.port);
        if (!link.IsConnected()) {
            std::fprintf(stderr, "tr52k: cannot connect to %s port %u\n", o.target.c_str(), o.port);
            // The link's own trace says why (refused, unreachable, unknown host).
            if (!trace) std::fputs(quiet.Text().c_str(), stderr);
            rc = EXIT_UNREACHABLE;
        } else {
            CTR52K1_Comm comm(&link);
            comm.m_nResponseTimeoutMs = o.timeoutMs;
            rc = info->parsed() ? RunInfo(comm, o) : RunPing(comm, o);
        }
        (void)ping;
    }
    SetDebugSink(nullptr);
    return rc;
}
