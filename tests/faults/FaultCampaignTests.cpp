// Every fault the simulator can inject, at several points of each update:
// the built tr52k program updates a tr52k-sim program over loopback, and
// each case checks the exit code, the message, the trace, that the run ends
// within its time-outs, and what the unit stored: the image complete and
// byte-exact, the previous image untouched, or visibly incomplete. Never a
// completion report for an image that did not arrive.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/UnitSimulator.h"
#include "support/SimProcess.h"

namespace fs = std::filesystem;

namespace {
enum class EUpdate { Dsp, Eeprom };
enum class EStored {
    Exact,       // the new image, byte for byte
    Previous,    // what the unit held before: nothing was committed
    Incomplete,  // erased or partly written: shorter than the image
};

struct Case {
    const char* name;
    EUpdate update;
    std::vector<std::string> faults;  // tr52k-sim --fault rules
    int exitCode;
    const char* error;                // in the unit's result; empty on success
    const char* trace;                // a line of the run's trace; may be empty
    EStored stored;
    int boundS;                       // the sum of the time-outs the case can meet, with margin
    bool unitDies = false;            // the unit dies; it is started again and the update repeated
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const char* kDspFailure = "Serial Comm Error: Restart the DSP1 Flash File Download Operation";
const char* kEraseFailure = "Serial Port Error: BulkEraseFPGA_ConfigEEPROM() failed.";
const char* kPageFailure = "Serial Port Error: WriteFPGA_ConfigEEPROM_Page() failed.";
const char* kClosed = "***** CAsyncSocket::Receive() connection closed by the device.";

// DSP image: 700 bytes, five blocks of 128 and one of 60 (0x1020 #1..#6);
// 0x1001 #1 is the start, #2 the finish. EEPROM image: 3,000 bytes, twelve
// pages (0x1021 #1..#12) after the erase (0x1022) and its polls (0x1023).
const Case kCases[] = {
    {"DspClean", EUpdate::Dsp, {}, 0, "", "DSP1 Flash Operation Completed.", EStored::Exact, 20},
    {"DspBlockUnansweredFirst", EUpdate::Dsp, {"drop:0x1020@1*1"}, 1, kDspFailure,
     "Restart the DSP1 Flash File Download Operation", EStored::Previous, 20},
    {"DspBlockUnansweredMiddle", EUpdate::Dsp, {"drop:0x1020@3*1"}, 1, kDspFailure, "",
     EStored::Previous, 20},
    {"DspBlockLostLast", EUpdate::Dsp, {"ignore:0x1020@6*1"}, 1, kDspFailure, "", EStored::Previous, 20},
    {"DspBlockJustInTime", EUpdate::Dsp, {"delay:0x1020:800@3*1"}, 0, "", "", EStored::Exact, 20},
    {"DspBlockJustTooLate", EUpdate::Dsp, {"delay:0x1020:1300@3*1"}, 1, kDspFailure, "", EStored::Previous, 20},
    {"DspBlockShortReply", EUpdate::Dsp, {"short:0x1020:3@2*1"}, 1, kDspFailure, "", EStored::Previous, 20},
    {"DspBlockLongReply", EUpdate::Dsp, {"extra:0x1020:4@2*1"}, 0, "", "", EStored::Exact, 20},
    {"DspBlockGarbageReply", EUpdate::Dsp, {"garbage:0x1020@4*1"}, 0, "", "", EStored::Exact, 20},
    {"DspStrayBytesAfterStart", EUpdate::Dsp, {"extra:0x1001:3@1*1"}, 0, "", "", EStored::Exact, 20},
    {"DspStartUnanswered", EUpdate::Dsp, {"drop:0x1001@1*1"}, 0, "", "", EStored::Exact, 20},
    {"DspFinishUnanswered", EUpdate::Dsp, {"drop:0x1001@2*1"}, 1, kDspFailure, "FinishDSP_Flash() failed.",
     EStored::Exact, 20},
    {"DspFinishLost", EUpdate::Dsp, {"ignore:0x1001@2*1"}, 1, kDspFailure, "FinishDSP_Flash() failed.",
     EStored::Previous, 20},
    {"DspClosedMidUpload", EUpdate::Dsp, {"close:0x1020@3"}, 1, kDspFailure, kClosed, EStored::Previous, 20},
    {"DspResetMidUpload", EUpdate::Dsp, {"reset:0x1020@4"}, 1, kDspFailure, "WSAECONNRESET", EStored::Previous, 20},
    {"DspUnitDiesMidUpload", EUpdate::Dsp, {"exit:0x1020@2"}, 1, kDspFailure, "", EStored::Previous, 20, true},

    {"EepromClean", EUpdate::Eeprom, {}, 0, "", "Elapsed Time:", EStored::Exact, 30},
    {"EepromEraseUnanswered", EUpdate::Eeprom, {"drop:0x1022"}, 1, kEraseFailure, "BulkEraseFPGA_ConfigEEPROM() failed.",
     EStored::Incomplete, 20},
    {"EepromEraseLost", EUpdate::Eeprom, {"ignore:0x1022"}, 1, kEraseFailure, "", EStored::Previous, 20},
    {"EepromEraseJustInTime", EUpdate::Eeprom, {"delay:0x1022:800@1*1"}, 0, "", "", EStored::Exact, 30},
    {"EepromEraseJustTooLate", EUpdate::Eeprom, {"delay:0x1022:1300@1*1"}, 1, kEraseFailure, "",
     EStored::Incomplete, 20},
    {"EepromStatusJustInTime", EUpdate::Eeprom, {"delay:0x1023:800@2*1"}, 0, "", "", EStored::Exact, 30},
    // The late reply is read by the next poll; the one left over is drained
    // by the erase's stray-byte check, or, when the late reply already says
    // "done", refused as the first page's acknowledgement.
    {"EepromStatusJustTooLate", EUpdate::Eeprom, {"delay:0x1023:1300@2*1"}, 0, "",
     "Extra bytes found after a ContinuousStatus Read 0x1023 Command message:"
     "|***** Reply to 0x1021 is not its frame: 0x68 0x00 0x23 0x10",
     EStored::Exact, 30},
    {"EepromStatusSilent", EUpdate::Eeprom, {"drop:0x1023"}, 1, kEraseFailure, "", EStored::Incomplete, 60},
    {"EepromStatusUnansweredThrice", EUpdate::Eeprom, {"drop:0x1023@1*3"}, 0, "", "", EStored::Exact, 30},
    {"EepromStatusShortReply", EUpdate::Eeprom, {"short:0x1023:2@2*1"}, 0, "", "", EStored::Exact, 30},
    {"EepromStatusGarbage", EUpdate::Eeprom, {"garbage:0x1023@1*2"}, 0, "", "Reply to 0x1023 is not its frame",
     EStored::Exact, 30},
    {"EepromStatusStrayBytes", EUpdate::Eeprom, {"extra:0x1023:3@1*1"}, 0, "",
     "Extra bytes found after a ContinuousStatus Read 0x1023 Command message:", EStored::Exact, 30},
    {"EepromPageUnansweredFirst", EUpdate::Eeprom, {"ignore:0x1021@1*1"}, 0, "",
     "SendCommandLongTimeout(0x1021, 259, 0) failed.", EStored::Exact, 45},
    {"EepromPageUnansweredLast", EUpdate::Eeprom, {"drop:0x1021@12*1"}, 0, "", "", EStored::Exact, 45},
    {"EepromPageJustInTime", EUpdate::Eeprom, {"delay:0x1021:9500@5*1"}, 0, "", "", EStored::Exact, 45},
    {"EepromPageJustTooLate", EUpdate::Eeprom, {"delay:0x1021:10400@5*1"}, 0, "",
     "SendCommandLongTimeout(0x1021, 259, 0) failed.", EStored::Exact, 60},
    {"EepromPageShortReply", EUpdate::Eeprom, {"short:0x1021:4@6*1"}, 0, "", "", EStored::Exact, 45},
    {"EepromPageLongReply", EUpdate::Eeprom, {"extra:0x1021:7@3*1"}, 0, "", "Reply to 0x1021 is not its frame",
     EStored::Exact, 30},
    {"EepromPageGarbage", EUpdate::Eeprom, {"garbage:0x1021@8*1"}, 0, "", "", EStored::Exact, 30},
    {"EepromPageFailsFiveTimes", EUpdate::Eeprom, {"ignore:0x1021@4*5"}, 1, kPageFailure,
     "WriteFPGA_ConfigEEPROM_Page() failed.", EStored::Incomplete, 90},
    {"EepromClosedMidErase", EUpdate::Eeprom, {"close:0x1023@2"}, 1, kEraseFailure, kClosed, EStored::Incomplete, 20},
    {"EepromResetMidErase", EUpdate::Eeprom, {"reset:0x1023@2"}, 1, kEraseFailure, "WSAECONNRESET", EStored::Incomplete, 20},
    {"EepromClosedMidProgramming", EUpdate::Eeprom, {"close:0x1021@7"}, 1, kPageFailure, kClosed,
     EStored::Incomplete, 20},
    {"EepromResetMidProgramming", EUpdate::Eeprom, {"reset:0x1021@2"}, 1, kPageFailure, "WSAECONNRESET",
     EStored::Incomplete, 20},
    {"EepromUnitDiesMidErase", EUpdate::Eeprom, {"exit:0x1023@2"}, 1, kEraseFailure, "", EStored::Incomplete, 20,
     true},
    {"EepromUnitDiesMidProgramming", EUpdate::Eeprom, {"exit:0x1021@6"}, 1, kPageFailure, "",
     EStored::Incomplete, 20, true},
    {"EepromSelectUnanswered", EUpdate::Eeprom, {"ignore:0x1024"}, 1, "did not become the current EEPROM", "",
     EStored::Exact, 60},
};

// The simulator for a case, on a free port or on the port it had before a
// restart, keeping its state in the case's file.
std::unique_ptr<SimProcess> StartSim(const std::vector<std::string>& faults, const fs::path& state, uint16_t port,
                                     uint16_t* boundPort) {
    std::vector<std::string> args = {"--port",     std::to_string(port), "--state", state.string(), "--erase-ms",
                                     "300",        "--wire-log", (state.parent_path() / "wire.txt").string()};
    for (const auto& f : faults) args.insert(args.end(), {"--fault", f});
    auto sim = std::make_unique<SimProcess>(args);
    *boundPort = sim->Port();
    return sim;
}

struct ToolRun {
    int code = -1;
    nlohmann::json unit;
    double seconds = 0;
};

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct FaultCampaign : ::testing::TestWithParam<Case> {
    fs::path dir;
    FaultCampaign() {
        char tmpl[] = "/tmp/tr52k-faults-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ::setenv("TR52K_REGISTRY_FILE", (dir / "registry.reg").c_str(), 1);
    }
    ~FaultCampaign() override { fs::remove_all(dir); }

    std::vector<uint8_t> Image(EUpdate u) const {
        std::vector<uint8_t> v(u == EUpdate::Dsp ? 700 : 3000);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 11 + 5);
        return v;
    }
    fs::path WriteImage(EUpdate u) const {
        fs::path p = dir / (u == EUpdate::Dsp ? "TR52K1_DSP1_fc.bin" : "tr52K_fc.bin");
        std::vector<uint8_t> v = Image(u);
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(v.data()), static_cast<long>(v.size()));
        return p;
    }
    ToolRun Update(EUpdate u, uint16_t port, const fs::path& trace) const {
        std::string cmd = std::string(TR52K_CLI_BINARY) + " --target 127.0.0.1 --port " + std::to_string(port) +
                          " --yes --json --trace " + trace.string() + " --dsp-wait-step-ms 1 " +
                          (u == EUpdate::Dsp ? "flash-dsp 1 " : "program-eeprom 1 ") + WriteImage(u).string() +
                          " </dev/null 2>/dev/null";
        ToolRun r;
        auto t0 = std::chrono::steady_clock::now();
        FILE* p = ::popen(cmd.c_str(), "r");
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        int status = ::pclose(p);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        auto doc = nlohmann::json::parse(out, nullptr, false);
        if (!doc.is_discarded() && doc.contains("units")) r.unit = doc["units"].at(0);
        return r;
    }
    // The stored image, from the state file the simulator keeps.
    std::vector<uint8_t> Stored(EUpdate u, const fs::path& state) const {
        CUnitSimulator unit;
        std::string why;
        if (fs::exists(state)) {
            EXPECT_TRUE(unit.LoadState(state.string(), &why)) << why;
        }
        return u == EUpdate::Dsp ? unit.m_dspImages[0] : unit.m_eeproms[1];
    }
    std::vector<uint8_t> Expected(EUpdate u) const {
        std::vector<uint8_t> v = Image(u);
        if (u == EUpdate::Eeprom) v.resize((v.size() & ~size_t{0xFF}) + 256, 0xFF);
        return v;
    }
};

TEST_P(FaultCampaign, OutcomeMessageTraceAndStoredImage) {
    const Case& c = GetParam();
    const fs::path state = dir / "unit.json";
    const std::vector<uint8_t> previous = Stored(c.update, state);
    uint16_t port = 0;
    auto sim = StartSim(c.faults, state, 0, &port);
    ASSERT_NE(port, 0);

    const fs::path trace = dir / "trace.txt";
    ToolRun r = Update(c.update, port, trace);
    const std::string traceText = Slurp(trace);
    EXPECT_EQ(r.code, c.exitCode) << r.unit.dump() << "\n" << traceText;
    EXPECT_LT(r.seconds, c.boundS) << "the run outlasted its time-outs";
    const std::string error = r.unit.value("error", "");
    if (*c.error) {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_FALSE(r.unit.value("ok", true));
        // Never a completion report for a failed update.
        EXPECT_EQ(r.unit.dump().find("Completed"), std::string::npos);
        EXPECT_EQ(r.unit.dump().find("programmed"), std::string::npos);
    } else {
        EXPECT_TRUE(error.empty()) << error;
    }
    if (*c.trace) {  // alternatives separated by '|'
        bool found = false;
        std::string alternatives = c.trace;
        for (size_t start = 0; start <= alternatives.size();) {
            size_t bar = alternatives.find('|', start);
            if (bar == std::string::npos) bar = alternatives.size();
            found = found || traceText.find(alternatives.substr(start, bar - start)) != std::string::npos;
            start = bar + 1;
        }
        EXPECT_TRUE(found) << c.trace << "\n" << traceText;
    }
    // The procedure's own closing line: its completion, or its failure and
    // then no completion.
    const std::string completion = c.update == EUpdate::Dsp ? "DSP1 Flash Operation Completed.\r\n" : "Elapsed Time:";
    const std::string portError = "Serial Port Error: ";
    if (!*c.error) {
        EXPECT_NE(traceText.find(completion), std::string::npos) << traceText;
    } else if (c.update == EUpdate::Dsp || std::string(c.error).rfind(portError, 0) == 0) {
        const std::string failure = c.update == EUpdate::Dsp ? "Restart the DSP1 Flash File Download Operation\r\n"
                                                             : std::string(c.error).substr(portError.size()) + "\r\n";
        EXPECT_NE(traceText.find(failure), std::string::npos) << traceText;
        EXPECT_EQ(traceText.find(completion), std::string::npos) << traceText;
    }

    if (c.unitDies) {
        EXPECT_EQ(sim->Stop(0), 70);  // died on the fault, state as last committed
    } else {
        EXPECT_EQ(sim->Stop(SIGTERM), 0);
    }
    const std::vector<uint8_t> stored = Stored(c.update, state);
    const std::vector<uint8_t> expected = Expected(c.update);
    switch (c.stored) {
        case EStored::Exact: EXPECT_EQ(stored, expected); break;
        case EStored::Previous: EXPECT_EQ(stored, previous); break;
        case EStored::Incomplete:
            EXPECT_LT(stored.size(), expected.size());
            EXPECT_TRUE(std::equal(stored.begin(), stored.end(), expected.begin()));
            break;
    }

    if (c.unitDies) {
        // The unit comes back on the same port: the update, repeated, completes.
        uint16_t again = 0;
        sim = StartSim({}, state, port, &again);
        ASSERT_EQ(again, port);
        ToolRun repeated = Update(c.update, port, dir / "trace2.txt");
        EXPECT_EQ(repeated.code, 0) << repeated.unit.dump();
        EXPECT_EQ(sim->Stop(SIGTERM), 0);
        EXPECT_EQ(Stored(c.update, state), expected);
    }
    if (HasFailure()) std::printf("wire log of the simulator:\n%s", Slurp(dir / "wire.txt").c_str());
}

// The unit killed from outside in the middle of a long erase, then started
// again: the update fails at once with its message, the EEPROM is left erased
// (not passed off as programmed), and the repeated update completes.
TEST_F(FaultCampaign, UnitKilledDuringTheEraseAndStartedAgain) {
    const fs::path state = dir / "unit.json";
    auto sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--port", "0", "--state", state.string(), "--erase-ms", "4000"});
    const uint16_t port = sim->Port();
    ASSERT_NE(port, 0);
    auto run = std::async(std::launch::async, [&] { return Update(EUpdate::Eeprom, port, dir / "trace.txt"); });
    // The erase is committed to the state file as soon as it starts.
    for (int i = 0; i < 300 && !fs::exists(state); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sim->Stop(SIGKILL), 128 + SIGKILL);
    ToolRun r = run.get();
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.unit.value("error", "").find(kEraseFailure), std::string::npos) << r.unit.dump();
    EXPECT_LT(r.seconds, 10);
    EXPECT_TRUE(Stored(EUpdate::Eeprom, state).empty());

    sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--port", std::to_string(port), "--state", state.string(), "--erase-ms", "300"});
    ASSERT_EQ(sim->Port(), port);
    EXPECT_EQ(Update(EUpdate::Eeprom, port, dir / "trace2.txt").code, 0);
    EXPECT_EQ(sim->Stop(SIGTERM), 0);
    EXPECT_EQ(Stored(EUpdate::Eeprom, state), Expected(EUpdate::Eeprom));
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultCampaign, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
}  // namespace
