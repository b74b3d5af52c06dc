// The dialog's behaviour without a toolkit: a recording control surface
// addressed by the template's ids, and a simulated unit on a fake clock.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/Settings.h"
#include "app/UpdateHistory.h"
#include "link/NetworkDeviceComm.h"
#include "platform/Registry.h"
#include "platform/UnitLock.h"
#include "sim/SimServer.h"
#include "ui/DialogTemplate.h"
#include "support/Environment.h"
#include "ui/DialogCore.h"
#include "update/UpdateTestSupport.h"

namespace {
class CRecordingControls : public CDialogControls {
public:
    struct Bar { int32_t lower = 0, upper = 100, pos = 0; };
    std::map<int, std::string> texts;
    std::map<int, bool> checks, disabled;
    std::map<int, Bar> bars;
    uint32_t ip = 0;
    int busy = 0, closes = 0;

    void SetControlText(int id, const std::string& t) override { texts[id] = t; }
    std::string GetControlText(int id) override { return texts[id]; }
    void SetCheck(int id, bool c) override { checks[id] = c; }
    bool GetCheck(int id) override { return checks[id]; }
    void EnableControl(int id, bool e) override { disabled[id] = !e; }
    void SetProgressRange(int id, int32_t lo, int32_t hi) override { bars[id].lower = lo, bars[id].upper = hi; }
    void SetProgressPos(int id, int32_t p) override { bars[id].pos = p; }
    int32_t GetProgressPos(int id) override { return bars[id].pos; }
    int32_t GetProgressLower(int id) override { return bars[id].lower; }
    int32_t GetProgressUpper(int id) override { return bars[id].upper; }
    void SetIpAddress(int, uint32_t a) override { ip = a; }
    uint32_t GetIpAddress(int, uint8_t f[4]) override {
        for (int i = 0; i < 4; ++i) f[i] = static_cast<uint8_t>(ip >> (24 - 8 * i));
        return ip;
    }
    void BeginBusyCursor() override { ++busy; }
    void EndBusyCursor() override { --busy; }
    EFileChoice ChooseBinaryFile(std::string*, uint32_t*) override { return EFileChoice::Cancelled; }
    // Each question is kept, and answered as `answer` says.
    std::vector<std::pair<std::string, std::string>> questions;
    bool answer = false;
    bool AskYesNo(const std::string& q, const std::string& caption) override {
        questions.emplace_back(q, caption);
        return answer;
    }
    void PostClose() override { ++closes; }
    void WatchInput(intptr_t, bool) override {}
    std::shared_ptr<CTickerTarget> TickerTarget(uintptr_t*) override { return nullptr; }  // ticks sent by hand
};

struct Core {
    CSimulatedUnit sim;
    CRecordingControls controls;
    CMemoryRegistryStore registry;
    CRecordingMessageBox boxes;
    CRecordingBeeper beeps;
    CTR52K_FlashFileLoaderDlg dlg;
    // The history, when kept, goes to the unit's scratch folder.
    explicit Core(uint32_t noInit = 0, bool updateEnable = true, bool history = false)
        : dlg(&sim.comm, noInit, registry, controls, boxes, beeps) {
        sim.unit.m_bUpdateEnable = updateEnable;
        if (history) SetEnvironment("TR52K_HISTORY_FILE", History());
        else dlg.m_dsp.m_onUpdateEnded = dlg.m_eeprom.m_onUpdateEnded = nullptr;  // no history from tests
    }
    std::string History() const { return (sim.dir / "history.jsonl").string(); }
    // One tick of the ticker, of the phase the update is in.
    void Tick() {
        sim.clock.Advance(50);
        dlg.OnTickerMessage(ProcessTickerFlags().g_bEepromEraseActive ? WM_EEPROM_ERASE_TICK : WM_EEPROM_PAGE_TICK, 0);
    }
};

// Start-up fills the displays from the unit and leaves the update controls
// usable only with the unit's consent.
TEST(DialogCore, StartUpShowsTheUnitAndGatesTheUpdateControls) {
    const struct { uint32_t noInit; bool updateEnable, enabled; } cases[] = {
        {0, true, true}, {0, false, false}, {1, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.noInit << c.updateEnable);
        Core r(c.noInit, c.updateEnable);
        r.dlg.m_strTargetIp = "127.0.0.12";
        r.dlg.OnInitDialog();
        EXPECT_EQ(r.controls.texts[0], "Korvanex TR52K Flash File Loader");
        EXPECT_EQ(r.controls.texts[IDC_SERIAL_NUMBER], "00AB-005");
        EXPECT_EQ(r.controls.texts[IDC_OP_MODE_RAW].substr(0, 2), "0x");
        EXPECT_EQ(r.controls.ip, 0x7F00000Cu);
        for (int id : {int(IDC_DSP1_LOAD), int(IDC_DSP2_FILE), int(IDC_EEPROM_LOAD), IDC_EEPROM_FIRST + 11})
            EXPECT_EQ(r.controls.disabled[id], !c.enabled) << id;
        EXPECT_EQ(r.controls.bars[IDC_PRG_BULK_ERASE].upper, 255);
        if (!c.noInit) {
            EXPECT_EQ(r.controls.texts[IDC_EEPROM_FIRST + 1].substr(0, 11), "5A000002 : ");
            EXPECT_TRUE(r.controls.checks[IDC_OP_MODE_1 + r.sim.comm.m_nOperationalMode - 1]);
        }
        EXPECT_TRUE(r.boxes.Boxes().empty());
    }
}

// The direct commands' displays and beeps, the bars' wrap, Save.
TEST(DialogCore, CommandsBarsAndSaveGoThroughTheControls) {
    Core r;
    r.dlg.OnInitDialog();
    r.dlg.OnBnClickedPing();
    EXPECT_EQ(r.controls.texts[IDC_PING_RESULT], "68 00 00 00 00 00 ");
    EXPECT_EQ(r.beeps.Tones().back(), (CRecordingBeeper::Tone{1000, 10}));
    r.dlg.OnBnClickedOpMode(3);
    EXPECT_TRUE(r.controls.checks[IDC_OP_MODE_1 + 2] && !r.controls.checks[IDC_OP_MODE_1]);
    EXPECT_EQ(r.controls.busy, 0);
    // Turn Off All Graphs is two commands; after a first that goes
    // unanswered the second is not sent, and the beep is the low one.
    ASSERT_TRUE(ParseSimRule("drop:0x1002@3*1", &r.sim.unit.m_faultRules.emplace_back(), nullptr));
    r.dlg.OnBnClickedTurnOffAllGraphs();
    EXPECT_EQ(r.sim.unit.m_turnOffs, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(r.beeps.Tones().back(), (CRecordingBeeper::Tone{1000, 10}));
    r.dlg.OnBnClickedTurnOffAllGraphs();
    EXPECT_EQ(r.sim.sent[0x1002].size(), 3u);
    EXPECT_EQ(r.beeps.Tones().back(), (CRecordingBeeper::Tone{100, 100}));
    r.dlg.OnBnClickedTurnOffConsolidatedStatus();  // answered
    EXPECT_EQ(r.beeps.Tones().back(), (CRecordingBeeper::Tone{1000, 10}));
    ASSERT_TRUE(ParseSimRule("drop:0x1002@5*1", &r.sim.unit.m_faultRules.emplace_back(), nullptr));
    r.dlg.OnBnClickedTurnOffConsolidatedStatus();
    EXPECT_EQ(r.beeps.Tones().back(), (CRecordingBeeper::Tone{100, 100}));

    r.dlg.SetProgressRange(EProgressBar::PageProgram, 0, 3);
    r.dlg.SetProgressStep(EProgressBar::PageProgram, 2);
    r.dlg.SetProgressPos(EProgressBar::PageProgram, 9);  // kept inside the range
    EXPECT_EQ(r.controls.bars[IDC_PRG_PAGE_PROGRAM].pos, 3);
    r.dlg.StepProgress(EProgressBar::PageProgram);  // past the end: wraps to the start
    EXPECT_EQ(r.controls.bars[IDC_PRG_PAGE_PROGRAM].pos, 1);

    r.controls.ip = 0x7F00000D;
    EXPECT_NE(r.dlg.SaveTargetAddress(), 0u);
    EXPECT_EQ(r.dlg.m_strTargetIp, "127.0.0.13");
    const auto& v = r.registry.m_hive[SETTINGS_KEY_PATH]["ETHERNET_IP_ADDR"];
    EXPECT_EQ(RegSzBytesToUtf8(v.data.data(), v.data.size()), "127.0.0.13");
    // A key that may not be written keeps the address the dialog uses too.
    using namespace win32;  // a macro on Windows
    r.registry.m_nCreateWriteResult = ERROR_ACCESS_DENIED;
    r.controls.ip = 0x7F00000E;
    EXPECT_EQ(r.dlg.SaveTargetAddress(), 0u);
    EXPECT_EQ(r.dlg.m_strTargetIp, "127.0.0.13");
    EXPECT_EQ(r.boxes.Boxes().back().caption, "Registry Error");
}

// An EEPROM update driven through the core: the radio buttons choose the
// target, the path edit the image, the bars and counters show progress.
TEST(DialogCore, AnEepromUpdateReadsItsControlsShowsItsProgressAndHoldsOffADspLoad) {
    Core r;
    r.dlg.OnInitDialog();
    r.dlg.OnBnClickedEeprom(5);  // as a click: EEPROM_5 alone marked
    r.controls.texts[IDC_EEPROM_FILE] = r.sim.File("tr52K_dp.bin", Pattern(1000));
    r.dlg.OnBnClickedEepromLoad();
    EXPECT_EQ(r.controls.texts[IDC_LBL_BULK_ERASE], "Bulk Erase:");
    EXPECT_EQ(r.controls.texts[IDC_BYTES_TO_WRITE], "1,024");
    // A DSP Load while it runs is refused before any frame.
    r.controls.texts[IDC_DSP1_FILE] = r.sim.File("TR52K1_DSP1_v1.bin", Pattern(700));
    r.dlg.OnBnClickedDsp1Load();
    EXPECT_EQ(r.boxes.Boxes().back().caption, "EEPROM Update Busy");
    EXPECT_EQ(r.sim.Count(0x1001) + r.sim.Count(0x1020), 0);
    for (int i = 0; i < 200 && r.dlg.m_eeprom.UpdateRunning(); ++i) {
        r.sim.clock.Advance(50);
        r.dlg.OnTickerMessage(ProcessTickerFlags().g_bEepromEraseActive ? WM_EEPROM_ERASE_TICK : WM_EEPROM_PAGE_TICK, 0);
    }
    EXPECT_EQ(r.sim.unit.m_eeproms[5], Pattern(1000, 1024));
    EXPECT_EQ(r.controls.bars[IDC_PRG_PAGE_PROGRAM].pos, 4);
    EXPECT_EQ(r.controls.bars[IDC_PRG_BULK_ERASE].pos, 255);
    EXPECT_NE(r.controls.texts[IDC_EEPROM_FIRST + 5].substr(0, 8), "00000000");  // the new image's id
    EXPECT_EQ(r.boxes.Boxes().back().text, "DP FPGA Configuration EEPROM Update has completed.");
    EXPECT_EQ(r.controls.busy, 0);
    // The mark the controls show is the next Load's target, EEPROM_0 too,
    // also when it moved without a click (the arrow keys move a radio mark).
    for (int k = 0; k < EEPROM_COUNT; ++k) r.controls.checks[IDC_EEPROM_FIRST + k] = k == 0;
    r.dlg.OnBnClickedEepromLoad();
    while (r.dlg.m_eeprom.UpdateRunning()) r.Tick();
    EXPECT_EQ(r.sim.unit.m_eeproms[0], Pattern(1000, 1024));
}

// A close while an EEPROM update runs asks first. No leaves the update
// running to its end; Yes stops it before another frame, records it as
// interrupted with the pages the unit acknowledged, and lets the window
// close. Whether it was still erasing or already writing pages. Before the
// update, and once it has ended, the window closes without a question.
TEST(DialogCore, ClosingDuringAnEepromUpdateAsksFirst) {
    const ScopedEnvironment history("TR52K_HISTORY_FILE", nullptr);  // each case sets its own
    const struct { bool programming, yes; } cases[] = {{true, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.programming << c.yes);
        Core r(0, true, true);
        r.dlg.OnInitDialog();
        EXPECT_TRUE(r.dlg.CanClose());
        r.dlg.OnBnClickedEeprom(5);
        r.controls.texts[IDC_EEPROM_FILE] = r.sim.File("tr52K_dp.bin", Pattern(200 * 256 + 10));  // 201 pages
        r.dlg.OnBnClickedEepromLoad();
        if (c.programming)
            while (r.dlg.m_eeprom.m_procedure.BytesWritten() == 0 && r.dlg.m_eeprom.UpdateRunning()) r.Tick();
        ASSERT_TRUE(r.dlg.m_eeprom.UpdateRunning());
        const size_t boxes = r.boxes.Boxes().size();
        const int pages = r.sim.Count(0x1021);
        EXPECT_EQ(pages, c.programming ? PAGES_PER_TICK : 0);

        r.controls.answer = c.yes;
        EXPECT_EQ(r.dlg.CanClose(), c.yes);
        ASSERT_EQ(r.controls.questions.size(), 1u);
        EXPECT_EQ(r.controls.questions[0].first,
                  "EEPROM_5 is being updated. Closing now leaves it erased and not current. Close anyway?");
        EXPECT_EQ(r.dlg.m_eeprom.UpdateRunning(), !c.yes);
        EXPECT_EQ(r.sim.Count(0x1021), pages);
        std::vector<std::string> lines;
        size_t skipped = 0;
        std::string why;
        ReadUpdateHistory(r.History(), &lines, &skipped, &why);
        if (!c.yes) {
            EXPECT_TRUE(lines.empty());
            while (r.dlg.m_eeprom.UpdateRunning()) r.Tick();
            EXPECT_TRUE(r.dlg.m_eeprom.Outcome().Succeeded());
            EXPECT_EQ(r.sim.unit.m_eeproms[5], Pattern(200 * 256 + 10, 201 * 256));
            EXPECT_TRUE(r.dlg.CanClose());
            EXPECT_EQ(r.controls.questions.size(), 1u);
            continue;
        }
        EXPECT_EQ(r.boxes.Boxes().size(), boxes);  // the user has just chosen this: no box on top
        EXPECT_EQ(r.controls.busy, 0);
        ASSERT_EQ(lines.size(), 1u);
        const auto line = nlohmann::json::parse(lines[0]);
        EXPECT_EQ(line.at("result"), "interrupted");
        EXPECT_EQ(line.at("target"), "EEPROM_5");
        EXPECT_EQ(line.at("pagesAcknowledged"), pages);
        EXPECT_EQ(line.at("pages"), 201);
        // The ticker finds nothing more to do, and the next close asks nothing.
        r.Tick();
        EXPECT_EQ(r.sim.Count(0x1021), pages);
        EXPECT_TRUE(r.dlg.CanClose());
        EXPECT_EQ(r.controls.questions.size(), 1u);
    }
}

// While another update on this machine holds the unit, DSP Load, EEPROM
// Load and making an EEPROM current each say so and send nothing. The
// dialog's own EEPROM update holds the unit from Load to its end.
TEST(DialogCore, AUnitHeldByAnotherUpdateIsNotWritten) {
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
    CUnitSimulator unit;
    unit.m_eraseMs = 20;
    CSimServer server{unit};
    ASSERT_TRUE(server.Start(0));
    CNetworkDeviceComm link{"127.0.0.1", server.Port()};
    CTR52K1_Comm comm{&link};
    CRecordingControls controls;
    CMemoryRegistryStore registry;
    CRecordingMessageBox boxes;
    CRecordingBeeper beeps;
    CTR52K_FlashFileLoaderDlg dlg(&comm, 0, registry, controls, boxes, beeps);
    dlg.m_dsp.m_onUpdateEnded = dlg.m_eeprom.m_onUpdateEnded = nullptr;
    dlg.OnInitDialog();
    const ScratchDir dir{"tr52k-dlg-lock"};
    controls.texts[IDC_EEPROM_FILE] = WriteFile(dir / "tr52K_dp.bin", Pattern(1000));
    controls.texts[IDC_DSP1_FILE] = WriteFile(dir / "TR52K1_DSP1_v1.bin", Pattern(700));
    const std::string unitText = "127.0.0.1:" + std::to_string(server.Port());
    auto writes = [&] {
        std::lock_guard<std::mutex> lock(unit.m_mutex);
        int n = 0;
        for (uint16_t command : {0x1001, 0x1020, 0x1021, 0x1022, 0x1024})
            if (unit.m_commandCounts.count(command)) n += unit.m_commandCounts[command];
        return n;
    };
    {
        CUnitLock held("127.0.0.1", server.Port());
        ASSERT_TRUE(held.Held()) << held.Error();
        const std::function<void()> clicks[] = {[&] { dlg.OnBnClickedEepromLoad(); },
                                                [&] { dlg.OnBnClickedDsp1Load(); },
                                                [&] { dlg.OnBnDoubleClickedEeprom(3); }};
        for (const auto& click : clicks) {
            boxes.Clear();
            click();
            ASSERT_EQ(boxes.Boxes().size(), 1u);
            EXPECT_EQ(boxes.Boxes()[0].caption, "Unit Busy");
            EXPECT_NE(boxes.Boxes()[0].text.find("Another update on this machine is writing to the unit at " +
                                                 unitText),
                      std::string::npos)
                << boxes.Boxes()[0].text;
        }
        EXPECT_FALSE(dlg.m_eeprom.UpdateRunning());
        EXPECT_EQ(controls.busy, 0);
        EXPECT_EQ(writes(), 0);
    }
    dlg.OnBnClickedEepromLoad();
    ASSERT_TRUE(dlg.m_eeprom.UpdateRunning());
    EXPECT_TRUE(CUnitLock("127.0.0.1", server.Port()).HeldElsewhere());
    for (int i = 0; i < 400 && dlg.m_eeprom.UpdateRunning(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dlg.OnTickerMessage(ProcessTickerFlags().g_bEepromEraseActive ? WM_EEPROM_ERASE_TICK : WM_EEPROM_PAGE_TICK, 0);
    }
    EXPECT_TRUE(dlg.m_eeprom.Outcome().Succeeded());
    EXPECT_TRUE(CUnitLock("127.0.0.1", server.Port()).Held());
    server.Stop();
}

// Every control the code addresses has a name of its own for screen readers
// and test tools, in either toolkit.
std::string ReadSource(const char* path) {
    std::ifstream in(std::string(TR52K_SOURCE_DIR) + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every control of the template that code addresses has a name of its own.
TEST(DialogCore, EveryControlOfTheTemplateHasItsOwnAccessibleName) {
    const auto t = ParseDialogTemplate(ReadSource("ui/win32/FlashFileLoader.rc"), "IDD_TR52K_FLASHFILELOADER_DIALOG",
                                       ReadSource("ui/ControlIds.h"));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->caption, "TR52K_FlashFileLoader");
    EXPECT_EQ(t->w, 699);
    std::map<std::string, std::string> seen;
    for (const CTemplateControl& c : t->controls) {
        if (c.idName == "IDC_STATIC") continue;
        const std::string name = ControlAccessibleName(c.id);
        EXPECT_FALSE(name.empty()) << c.idName;
        EXPECT_TRUE(seen.emplace(name, c.idName).second) << c.idName << " is called like " << seen[name];
    }
    EXPECT_EQ(seen.size(), 50u);  // 35 controls, 12 EEPROMs, 3 modes
    EXPECT_EQ(ControlAccessibleName(4242), "");
}

// Each statement form of a resource script, read as the resource compiler reads it.
TEST(DialogCore, TemplateStatementsAreReadWithTheirTextIdStylesAndPlace) {
    const std::string ids = "#define IDC_A 7\n#define IDC_B 8\n";
    const auto t = ParseDialogTemplate(R"(
D1 DIALOGEX 0, 0, 100, 50
CAPTION "Other"
BEGIN
    LTEXT "x", IDC_A, 1, 2, 3, 4
END
D2 DIALOGEX 0, 0, 200, 90
STYLE WS_POPUP
CAPTION "Two"
BEGIN
    // a comment
    RTEXT "Say ""hi"", then go:", IDC_STATIC, 1, 2, 30, 8
    EDITTEXT IDC_A, 5, 6, 70, 12, ES_CENTER | ES_READONLY
    CONTROL "Mode, one", IDC_B, "Button", BS_AUTOCHECKBOX | BS_LEFTTEXT, 9, 10, 40, 12
    PUSHBUTTON "Go", IDC_UNKNOWN, 11, 12, 20, 14
END
)", "D2", ids);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->caption, "Two");
    EXPECT_EQ(t->h, 90);
    ASSERT_EQ(t->controls.size(), 4u);
    const CTemplateControl& label = t->controls[0];
    EXPECT_EQ(label.text, "Say \"hi\", then go:");
    EXPECT_EQ(label.id, -1);
    const CTemplateControl& edit = t->controls[1];
    EXPECT_EQ(edit.type, "EDITTEXT");
    EXPECT_EQ(edit.id, 7);
    EXPECT_TRUE(edit.Has("ES_CENTER") && edit.Has("ES_READONLY") && !edit.Has("WS_DISABLED"));
    EXPECT_EQ(std::vector<int>({edit.x, edit.y, edit.w, edit.h}), std::vector<int>({5, 6, 70, 12}));
    const CTemplateControl& check = t->controls[2];
    EXPECT_EQ(check.text, "Mode, one");
    EXPECT_EQ(check.windowClass, "Button");
    EXPECT_EQ(check.id, 8);
    EXPECT_TRUE(check.Has("BS_LEFTTEXT"));
    EXPECT_EQ(std::vector<int>({check.x, check.y, check.w, check.h}), std::vector<int>({9, 10, 40, 12}));
    EXPECT_EQ(t->controls[3].idName, "IDC_UNKNOWN");
    EXPECT_EQ(t->controls[3].id, -1);
    // A missing dialog, a statement short of its place, a dialog without END.
    EXPECT_FALSE(ParseDialogTemplate("D DIALOGEX 0, 0, 1, 1\nBEGIN\nEND\n", "E", ids));
    EXPECT_FALSE(ParseDialogTemplate("D DIALOGEX 0, 0, 1, 1\nBEGIN\nLTEXT \"x\", IDC_A, 1, 2\nEND\n", "D", ids));
    EXPECT_FALSE(ParseDialogTemplate("D DIALOGEX 0, 0, 1, 1\nBEGIN\nLTEXT \"x\", IDC_A, 1, 2, 3, 4\n", "D", ids));
}
}  // namespace
