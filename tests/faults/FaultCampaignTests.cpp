// Every fault the simulator can inject, at several points of each update:
// the built tr52k program updates a tr52k-sim program over loopback, and
// each case checks the exit code, the message, the trace, that the run ends
// within its time-outs, and what the unit stored: the image complete and
// byte-exact, the previous image untouched, or visibly incomplete. Never a
// completion report for an image that did not arrive.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <sstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "sim/UnitSimulator.h"
#include "support/ScratchDir.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"

namespace fs = std::filesystem;

namespace {
enum EUpdate { Dsp, Eeprom };
enum EStored {
    Exact,       // the new image, byte for byte
    Previous,    // what the unit held before: nothing was committed
    Incomplete,  // erased or partly written: shorter than the image
};

struct Case {
    const char* name;
    EUpdate update;
    const char* fault;  // a tr52k-sim --fault rule, or simulator options starting with "--"; empty for none
    int exitCode;
    const char* error;  // in the unit's result; empty on success
    const char* trace;  // a line of the run's trace, or alternatives separated by '|'; may be empty
    EStored stored;
    int boundS;             // the sum of the time-outs the case can meet, with margin
    bool unitDies = false;  // the unit dies; it is started again and the update repeated
    int killAfterMs = 0;    // killed from outside this long into a 4 s erase
    bool programmed = false;  // every page acknowledged; a later step failed
    int dspWaitStepMs = 1;    // one of the 60 steps of the DSP write wait
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const char* kDspFail = "Serial Comm Error: Restart the DSP1 Flash File Download Operation";
const char* kEraseFail = "Serial Port Error: BulkEraseFPGA_ConfigEEPROM() failed.";
const char* kPageFail = "Serial Port Error: WriteFPGA_ConfigEEPROM_Page() failed.";
const char* kClosed = "***** CAsyncSocket::Receive() connection closed by the device.";
const char* kPageRetry = "SendCommandLongTimeout(0x1021, 259, 0) failed.";

// DSP image: 700 bytes, five blocks of 128 and one of 60 (0x1020 #1..#6);
// 0x1001 #1 is the start, #2 the finish. EEPROM image: 3,000 bytes, twelve
// pages (0x1021 #1..#12) after the erase (0x1022) and its polls (0x1023).
// Before either, the tool reads the unit's serial (configuration pages 20
// to 24: 0x2009 #1..#5); before an EEPROM update also the directory (0x2009
// #6, #7) and the mode (0x2000 #1); after it the directory again (#8, #9).
const Case kCases[] = {
    {"DspClean", Dsp, "", 0, "", "DSP1 Flash Operation Completed.", Exact, 20},
    {"DspBlockUnansweredFirst", Dsp, "drop:0x1020@1*1", 1, kDspFail, "Restart the DSP1 Flash File Download Operation",
     Previous, 20},
    {"DspBlockLostLast", Dsp, "ignore:0x1020@6*1", 1, kDspFail, "", Previous, 20},
    {"DspBlockJustInTime", Dsp, "delay:0x1020:800@3*1", 0, "", "", Exact, 20},
    {"DspBlockShortReply", Dsp, "short:0x1020:3@2*1", 1, kDspFail, "", Previous, 20},
    {"DspBlockLongReply", Dsp, "extra:0x1020:4@2*1", 0, "", "", Exact, 20},
    {"DspStrayBytesAfterStart", Dsp, "extra:0x1001:3@1*1", 0, "", "", Exact, 20},
    {"DspFinishLost", Dsp, "ignore:0x1001@2*1", 1, kDspFail, "FinishDSP_Flash() failed.", Previous, 20},
    {"DspClosedMidUpload", Dsp, "close:0x1020@3", 1, kDspFail, kClosed, Previous, 20},
    {"DspResetMidUpload", Dsp, "reset:0x1020@4", 1, kDspFail, "WSAECONNRESET", Previous, 20},
    {"DspUnitDiesMidUpload", Dsp, "exit:0x1020@2", 1, kDspFail, "", Previous, 20, true},

    {"EepromClean", Eeprom, "", 0, "", "Elapsed Time:", Exact, 30},
    {"EepromEraseUnanswered", Eeprom, "drop:0x1022", 1, kEraseFail, "BulkEraseFPGA_ConfigEEPROM() failed.", Incomplete,
     20},
    {"EepromEraseLost", Eeprom, "ignore:0x1022", 1, kEraseFail, "", Previous, 20},
    {"EepromEraseJustInTime", Eeprom, "delay:0x1022:800@1*1", 0, "", "", Exact, 30},
    {"EepromEraseJustTooLate", Eeprom, "delay:0x1022:1300@1*1", 1, kEraseFail, "", Incomplete, 20},
    // The late reply is waited for and dropped before the next poll goes out.
    {"EepromStatusJustTooLate", Eeprom, "delay:0x1023:1300@2*1", 0, "", "***** Late reply to 0x1023 dropped after",
     Exact, 30},
    {"EepromStatusSilent", Eeprom, "drop:0x1023", 1,
     "Serial Port Error: BulkEraseFPGA_ConfigEEPROM() did not complete within 5 s; the EEPROM may be left erased.", "",
     Incomplete, 20},
    {"EepromPageUnansweredFirst", Eeprom, "ignore:0x1021@1*1", 0, "", kPageRetry, Exact, 45},
    // Slow pages, a late acknowledgement, then a lost page: each retry's
    // acknowledgement is its own, never the one before it, so the lost page
    // is written again and the image arrives whole.
    {"EepromSlowPagesLateAckThenLostPage", Eeprom,
     "--page-write-ms 150 --fault delay:0x1021:10500@3*1 --fault ignore:0x1021@6*1", 0, "",
     "***** Late reply to 0x1021 dropped after", Exact, 60},
    {"EepromStrayBytesAfterTheSelect", Eeprom, "extra:0x1024:6", 0, "",
     "***** Reply to 0x2009 is not its frame: 0xE0 0xE1 0xE2 0xE3 0xE4 0xE5", Exact, 30},
    {"EepromResetMidErase", Eeprom, "reset:0x1023@2", 1, kEraseFail, "WSAECONNRESET", Incomplete, 20},
    {"EepromClosedMidProgramming", Eeprom, "close:0x1021@7", 1, kPageFail, kClosed, Incomplete, 20},
    {"EepromUnitDiesMidProgramming", Eeprom, "exit:0x1021@6", 1, kPageFail, "", Incomplete, 20, true},
    // Killed while the erase is under way: it was committed when it started,
    // so the EEPROM is left erased, not passed off as programmed.
    {"EepromUnitKilledDuringTheErase", Eeprom, "", 1, kEraseFail, "", Incomplete, 10, true, 300},
    // Every page acknowledged, then a step after them fails: never a success,
    // and the stored image is exact.
    {"EepromSelectUnanswered", Eeprom, "ignore:0x1024", 1, "Serial Port Error: SelectFPGA_ConfigEEPROM() failed.",
     "SelectFPGA_ConfigEEPROM() failed.", Exact, 60, false, 0, true},
    {"EepromSelectGarbled", Eeprom, "garbage:0x1024", 1, "Serial Port Error: SelectFPGA_ConfigEEPROM() failed.",
     "Reply to 0x1024 is not its frame", Exact, 30, false, 0, true},
    {"EepromSelectNotCarriedOut", Eeprom, "noop:0x1024", 1, "EEPROM Not Current: EEPROM_1 was written, but the unit "
     "reports EEPROM_0", "", Exact, 30, false, 0, true},
    // A select acknowledged but not carried out, then a directory reply that
    // says nothing: never taken for "EEPROM_0 is current".
    {"EepromSelectNotCarriedOutDirectoryGarbled", Eeprom, "--fault noop:0x1024 --fault garbage:0x2009@8*1", 1,
     "Serial Port Error: ReadEepromDirectory() failed.", "Reply to 0x2009 is not its frame", Exact, 30, false, 0,
     true},
    {"EepromDirectoryUnread", Eeprom, "drop:0x2009@8*1", 1, "Serial Port Error: ReadEepromDirectory() failed.", "",
     Exact, 30, false, 0, true},
    // The mode sent back is only one the unit reported before the erase:
    // a read that failed or came late sends nothing, and says so.
    {"EepromModeReadUnanswered", Eeprom, "drop:0x2000@1*1", 1,
     "Operational Mode Not Restored: The operational mode could not be read", "", Exact, 30, false, 0, true},
    {"EepromModeRestoreUnanswered", Eeprom, "drop:0x1000", 1, "Serial Port Error: Set operational mode 1 failed.",
     "SendCommandLongTimeout(0x1000, 1, 0) failed.", Exact, 60, false, 0, true},
    // A finish answered by another frame confirms nothing.
    {"DspFinishGarbled", Dsp, "garbage:0x1001@2*1", 1, kDspFail, "Reply to 0x1001 is not its frame", Exact, 20},
    // The unit restarts while it writes its flash: the connection is lost in
    // the write wait, and that is a failure of its own, never a completion.
    {"DspConnectionLostInTheWriteWait", Dsp, "hangup:0x1001:200@2*1", 1, kDspFail, "WSAECONNRESET", Exact, 20, false,
     0, false, 50},
};

struct FaultCampaign : ::testing::TestWithParam<Case> {
    const ScratchDir dir{"tr52k-faults"};
    const fs::path state = dir / "unit.json";
    FaultCampaign() {
        UseLoopbackSettings(dir / "registry.reg");
        ::setenv("TR52K_HISTORY_FILE", (dir / "history.jsonl").c_str(), 1);
    }

    // The simulator, on a free port or on the port it had before a restart,
    // keeping its state in the case's file.
    std::unique_ptr<SimProcess> StartSim(const char* fault, uint16_t port, int eraseMs = 300) const {
        std::vector<std::string> args = {"--port",   std::to_string(port), "--state", state.string(), "--erase-ms",
                                         std::to_string(eraseMs), "--wire-log", (dir / "wire.txt").string()};
        if (std::string_view(fault).rfind("--", 0) == 0) {
            std::istringstream words(fault);
            for (std::string w; words >> w;) args.push_back(w);
        } else if (*fault) {
            args.insert(args.end(), {"--fault", fault});
        }
        return std::make_unique<SimProcess>(args);
    }
    std::vector<uint8_t> Image(EUpdate u) const {
        std::vector<uint8_t> v(u == Dsp ? 700 : 3000);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 11 + 5);
        return v;
    }
    // Runs the tool; its JSON result for the unit lands in *unit.
    ToolRun Update(EUpdate u, uint16_t port, const fs::path& trace, nlohmann::json* unit, int dspWaitStepMs = 1) const {
        const std::string image = WriteFile(dir / (u == Dsp ? "TR52K1_DSP1_fc.bin" : "tr52K_fc.bin"), Image(u));
        ToolRun r = RunCommand(std::string(TR52K_CLI_BINARY) + " --target 127.0.0.1 --port " + std::to_string(port) +
                               " --yes --json --trace " + trace.string() + " --dsp-wait-step-ms " +
                               std::to_string(dspWaitStepMs) + " --erase-timeout 5000 " +
                               (u == Dsp ? "flash-dsp 1 " : "program-eeprom 1 ") + image +
                               " </dev/null 2>/dev/null");
        auto doc = nlohmann::json::parse(r.out, nullptr, false);
        *unit = !doc.is_discarded() && doc.contains("units") ? doc["units"].at(0) : nlohmann::json::object();
        return r;
    }
    // The stored image, from the state file the simulator keeps.
    std::vector<uint8_t> Stored(EUpdate u) const {
        CUnitSimulator unit;
        std::string why;
        EXPECT_TRUE(!fs::exists(state) || unit.LoadState(state.string(), &why)) << why;
        return u == Dsp ? unit.m_dspImages[0] : unit.m_eeproms[1];
    }
    std::vector<uint8_t> Expected(EUpdate u) const {
        std::vector<uint8_t> v = Image(u);
        if (u == Eeprom) v.resize((v.size() & ~size_t{0xFF}) + 256, 0xFF);
        return v;
    }
};

TEST_P(FaultCampaign, OutcomeMessageTraceAndStoredImage) {
    const Case& c = GetParam();
    const std::vector<uint8_t> previous = Stored(c.update);
    auto sim = StartSim(c.fault, 0, c.killAfterMs ? 4000 : 300);
    const uint16_t port = sim->Port();
    ASSERT_NE(port, 0);

    const fs::path trace = dir / "trace.txt";
    nlohmann::json unit;
    auto run = std::async(std::launch::async, [&] { return Update(c.update, port, trace, &unit, c.dspWaitStepMs); });
    if (c.killAfterMs) {
        for (int i = 0; i < 300 && !fs::exists(state); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.killAfterMs));
        EXPECT_EQ(sim->Stop(SIGKILL), 128 + SIGKILL);
    }
    const ToolRun r = run.get();
    const std::string traceText = Slurp(trace);
    EXPECT_EQ(r.code, c.exitCode) << unit.dump() << "\n" << traceText;
    EXPECT_LT(r.seconds, c.boundS) << "the run outlasted its time-outs";
    const std::string error = unit.value("error", "");
    if (*c.error) {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_FALSE(unit.value("ok", true));
        EXPECT_NE(unit.value("result", ""), "completed");
        EXPECT_EQ(unit.dump().find("Operation Completed"), std::string::npos);
        EXPECT_EQ(unit.dump().find("programmed"), std::string::npos);
    } else {
        EXPECT_TRUE(error.empty()) << error;
    }
    bool found = !*c.trace;
    for (std::string_view rest = c.trace; !found && !rest.empty();) {
        const size_t bar = rest.find('|');
        found = traceText.find(rest.substr(0, bar)) != std::string::npos;
        rest = bar == std::string_view::npos ? "" : rest.substr(bar + 1);
    }
    EXPECT_TRUE(found) << c.trace << "\n" << traceText;
    // The procedure's own closing line: its completion, or its failure and
    // then no completion.
    const std::string completion = c.update == Dsp ? "DSP1 Flash Operation Completed.\r\n" : "Elapsed Time:";
    const std::string portError = "Serial Port Error: ";
    if (!*c.error) {
        EXPECT_NE(traceText.find(completion), std::string::npos) << traceText;
    } else if (c.update == Dsp || (std::string(c.error).rfind(portError, 0) == 0 && !c.programmed)) {
        const std::string failure = c.update == Dsp ? "Restart the DSP1 Flash File Download Operation\r\n"
                                                    : std::string(c.error).substr(portError.size()) + "\r\n";
        EXPECT_NE(traceText.find(failure), std::string::npos) << traceText;
        EXPECT_EQ(traceText.find(completion), std::string::npos) << traceText;
    }

    // A unit dying on its fault exits at once, its state as last committed.
    if (!c.killAfterMs) {
        EXPECT_EQ(sim->Stop(c.unitDies ? 0 : SIGTERM), c.unitDies ? 70 : 0);
    }
    const std::vector<uint8_t> stored = Stored(c.update), expected = Expected(c.update);
    switch (c.stored) {
        case Exact: EXPECT_EQ(stored, expected); break;
        case Previous: EXPECT_EQ(stored, previous); break;
        case Incomplete:
            EXPECT_LT(stored.size(), expected.size());
            EXPECT_TRUE(std::equal(stored.begin(), stored.end(), expected.begin()));
            break;
    }

    if (c.unitDies) {
        // The unit comes back on the same port: the update, repeated, completes.
        sim = StartSim("", port);
        ASSERT_EQ(sim->Port(), port);
        EXPECT_EQ(Update(c.update, port, dir / "trace2.txt", &unit).code, 0) << unit.dump();
        EXPECT_EQ(sim->Stop(SIGTERM), 0);
        EXPECT_EQ(Stored(c.update), expected);
    }
    if (HasFailure()) std::printf("wire log of the simulator:\n%s", Slurp(dir / "wire.txt").c_str());
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultCampaign, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
}  // namespace
