// The dialog against the simulator on loopback, offscreen, with recording
// boxes and beeps.
#include <QCheckBox>
#include <QKeyEvent>
#include <QtTest>
#include <memory>

#include "app/Settings.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/Win32Types.h"
#include "sim/SimServer.h"
#include "ui/TR52K_FlashFileLoaderDlg.h"

using Tone = CRecordingBeeper::Tone;

class DialogTests : public QObject {
    Q_OBJECT

    struct Rig {
        CUnitSimulator unit;
        CSimServer server{unit};
        CCapturingDebugSink trace;
        std::unique_ptr<CNetworkDeviceComm> link;
        std::unique_ptr<CTR52K1_Comm> comm;
        CMemoryRegistryStore registry;
        CRecordingMessageBox boxes;
        CRecordingBeeper beeps;
        std::unique_ptr<CTR52K_FlashFileLoaderDlg> dlg;

        explicit Rig(std::function<void(CUnitSimulator&)> setUp = {}, uint32_t noInit = 0, int timeoutMs = 300,
                     CClock& clock = SystemClock()) {
            if (setUp) setUp(unit);
            SetDebugSink(&trace);
            server.Start(0);
            link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", server.Port(), clock);
            comm = std::make_unique<CTR52K1_Comm>(link.get(), clock);
            comm->m_nResponseTimeoutMs = timeoutMs;
            dlg = std::make_unique<CTR52K_FlashFileLoaderDlg>(comm.get(), noInit, registry, boxes, beeps);
            dlg->m_strTargetIp = "192.168.1.100";
            dlg->OnInitDialog();
        }
        ~Rig() {
            dlg.reset();
            comm.reset();
            link.reset();
            server.Stop();
            SetDebugSink(nullptr);
        }
        QWidget* W(const char* name) { return dlg->findChild<QWidget*>(name); }
        QString Text(const char* name) { return dlg->findChild<QLabel*>(name)->text(); }
    };

    static std::vector<QWidget*> UpdateControls(CTR52K_FlashFileLoaderDlg& d) {
        std::vector<QWidget*> v = {d.m_lblBulkErase, d.m_lblPageProgram, d.m_edtDsp1File, d.m_btnDsp1Browse,
                                   d.m_btnDsp1Load, d.m_edtDsp2File, d.m_btnDsp2Browse, d.m_btnDsp2Load,
                                   d.m_edtEepromFile, d.m_btnEepromBrowse, d.m_btnEepromLoad};
        for (auto* r : d.m_btnEeprom) v.push_back(r);
        return v;
    }

private slots:
    void startUpFillsTheDisplays() {
        Rig r([](CUnitSimulator& u) {
            u.m_versions.fio = 0x3F;
            u.m_versions.personality = 7;
            u.m_versions.dpPcbRev = 300;
            u.m_operationalMode = 2;
        });
        auto& d = *r.dlg;
        QCOMPARE(d.windowTitle(), QString("Korvanex TR52K Flash File Loader"));
        QCOMPARE(r.Text("m_lblSerialNumber"), QString("00AB-005"));
        QCOMPARE(r.Text("m_lblFioFpgaFwVer"), QString("0000003F"));
        QCOMPARE(r.Text("m_lblOpModeRaw"), QString("0x07"));
        QCOMPARE(r.Text("m_lblOpMode"), QString("Unknown"));
        QCOMPARE(r.Text("m_lblDpFpgaBoardPcbRev"), QString("300"));
        QCOMPARE(r.Text("m_lblDeviceIp"), QString("192.168.1.100"));
        QVERIFY(!d.m_chkOpMode[1]->isChecked() && d.m_chkOpMode[2]->isChecked() && !d.m_chkOpMode[3]->isChecked());
        QVERIFY(d.m_btnEeprom[0]->isChecked());
        QCOMPARE(d.m_btnEeprom[1]->text(), QString("5A000002 : 1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim Mode"));
        for (QWidget* w : UpdateControls(d)) QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        QCOMPARE(d.m_ctlTargetIp->GetAddress(nullptr), 0xC0A80164u);
        QVERIFY(r.boxes.Boxes().empty());
        QVERIFY(!d.m_prgBulkErase->isEnabled());
        QVERIFY(!d.m_edtPingResult->isEnabled());
        d.grab().save(TR52K_BINARY_DIR "/dialog.png");
    }

    void updateControlsStayDisabledWhenTheCheckFails() {
        const std::function<void(CUnitSimulator&)> cases[] = {
            [](CUnitSimulator& u) { u.m_bUpdateEnable = false; },
            [](CUnitSimulator& u) { u.m_faults.drop[0x1008] = -1; },
        };
        for (const auto& setUp : cases) {
            Rig r(setUp);
            for (QWidget* w : UpdateControls(*r.dlg)) QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
            QVERIFY(r.dlg->m_btnSaveIp->isEnabled() && r.dlg->m_btnPing->isEnabled() && r.dlg->m_chkOpMode[1]->isEnabled());
            QVERIFY(r.boxes.Boxes().empty());
        }
    }

    void noInitStatusSkipsTheReadsButFillsVersions() {
        Rig r({}, 1);
        std::lock_guard<std::mutex> lock(r.unit.m_mutex);
        QCOMPARE(r.unit.m_commandCounts.count(0x1008), size_t{0});  // no status record read
        QCOMPARE(r.Text("m_lblSerialNumber"), QString("00AB-005"));  // read on demand
        for (QWidget* w : UpdateControls(*r.dlg)) QVERIFY(!w->isEnabled());
    }

    void silentUnitShowsZerosWithoutABox() {
        Rig r([](CUnitSimulator& u) {
            for (uint16_t c : {0x2003, 0x2009, 0x1003, 0x2002, 0x1008, 0x2000}) u.m_faults.drop[c] = -1;
        }, 0, 20);
        QCOMPARE(r.Text("m_lblDsp1FwVer"), QString("00000000"));
        QCOMPARE(r.Text("m_lblOpMode"), QString("Unused"));
        QVERIFY(r.boxes.Boxes().empty());
        std::lock_guard<std::mutex> lock(r.unit.m_mutex);
        QCOMPARE(r.unit.m_commandCounts[0x2003], 1 + 9);  // the start-up read, then one per versions value
    }

    void targetAddressParsing() {
        Rig r;
        const std::pair<const char*, uint32_t> cases[] = {
            {"192.168.1.300", 0xC0A8012C}, {"192..1.5", 0xC0C00105}, {"", 0}, {"10.1.2.3", 0x0A010203}};
        for (auto [text, addr] : cases) {
            r.dlg->m_strTargetIp = text;
            r.dlg->ShowTargetAddress();
            QCOMPARE(r.dlg->m_ctlTargetIp->GetAddress(nullptr), addr);
        }
    }

    void saveWritesTheAddressWithItsTerminator() {
        Rig r;
        r.dlg->m_ctlTargetIp->SetAddress(0x0A010203);
        r.dlg->m_ctlTargetIp->Field(3)->clear();  // a blank field reads 0
        QTest::mouseClick(r.dlg->m_btnSaveIp, Qt::LeftButton);
        const RegValue& v = r.registry.m_hive[SETTINGS_KEY_PATH]["ETHERNET_IP_ADDR"];
        QCOMPARE(v.data.size(), size_t{18});
        QCOMPARE(RegSzBytesToUtf8(v.data.data(), v.data.size()), std::string("10.1.2.0"));
        QCOMPARE(r.dlg->m_strTargetIp, std::string("10.1.2.0"));
        r.registry.m_nCreateResult = 5;
        r.dlg->m_ctlTargetIp->SetAddress(0x01020304);
        QCOMPARE(r.dlg->SaveTargetAddress(), 0u);
        QCOMPARE(r.dlg->m_strTargetIp, std::string("10.1.2.0"));
        QCOMPARE(r.boxes.Boxes().back().text, std::string("RegCreateKeyEx() returned:5, Meaning: Access is denied."));
    }

    void enterAndSpaceDoNothing() {
        Rig r;
        r.dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(r.dlg.get()));
        r.dlg->m_edtDsp1File->setFocus();
        QTest::keyClicks(r.dlg->m_edtDsp1File, "a b");
        QCOMPARE(r.dlg->m_edtDsp1File->text(), QString("ab"));
        r.dlg->m_btnPing->setFocus();
        QTest::keyClick(r.dlg->m_btnPing, Qt::Key_Space);
        QTest::keyClick(r.dlg->m_btnPing, Qt::Key_Return);
        QVERIFY(r.beeps.Tones().empty());  // the button was not pressed
        QVERIFY(r.dlg->isVisible());
        QTest::keyClick(r.dlg.get(), Qt::Key_Escape);
        QVERIFY(!r.dlg->isVisible());
    }

    void pingShowsTheReplyAndBeeps() {
        Rig r;
        QTest::mouseClick(r.dlg->m_btnPing, Qt::LeftButton);
        QCOMPARE(r.dlg->m_edtPingResult->text(), QString("68 00 00 00 00 00 "));
        QCOMPARE(r.beeps.Tones(), (std::vector<Tone>{{1000, 10}}));
        {
            std::lock_guard<std::mutex> lock(r.unit.m_mutex);
            r.unit.m_faults.drop[0x0000] = -1;
        }
        QTest::mouseClick(r.dlg->m_btnPing, Qt::LeftButton);
        QCOMPARE(r.dlg->m_edtPingResult->text(), QString("00 00 00 00 00 00 "));
        QCOMPARE(r.beeps.Tones().back(), (Tone{100, 100}));
    }

    void turnOffAllGraphsStopsAfterAFailure() {
        Rig r;
        {
            std::lock_guard<std::mutex> lock(r.unit.m_mutex);
            r.unit.m_faults.drop[0x1002] = 1;
        }
        QTest::mouseClick(r.dlg->m_btnTurnOffAllGraphs, Qt::LeftButton);
        QCOMPARE(r.beeps.Tones(), (std::vector<Tone>{{100, 100}}));
        std::lock_guard<std::mutex> lock(r.unit.m_mutex);
        QCOMPARE(r.unit.m_commandCounts[0x1002], 1);
    }

    void failedModeCommandLeavesItsBoxChecked() {
        // The unit drops the connection on the mode command; on a fake clock
        // the 25 s the command waits for its acknowledgement pass at once.
        CFakeClock clock;
        Rig r({}, 0, 300, clock);
        {
            std::lock_guard<std::mutex> lock(r.unit.m_mutex);
            int frames = 0;
            for (auto& [cmd, n] : r.unit.m_commandCounts) frames += n;
            r.unit.m_faults.closeAfterFrames = frames + 1;
            r.unit.m_faults.drop[0x1000] = 1;
        }
        QTest::mouseClick(r.dlg->m_chkOpMode[3], Qt::LeftButton);
        QVERIFY(r.dlg->m_chkOpMode[3]->isChecked());
        QVERIFY(!r.dlg->m_chkOpMode[1]->isChecked() && !r.dlg->m_chkOpMode[2]->isChecked());
        QCOMPARE(r.beeps.Tones().back(), (Tone{100, 100}));
        QCOMPARE(r.comm->m_nOperationalMode, 3);
    }

    void eepromUpdateRunsOnTheTickersMessages() {
        Rig r([](CUnitSimulator& u) { u.m_eraseMs = 150; });
        QTemporaryDir dir;
        const QString path = dir.filePath("tr52K_dp.bin");
        std::vector<uint8_t> image(20 * 256 + 5);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 3);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size()));
        f.close();
        QTest::mouseClick(r.dlg->m_btnEeprom[4], Qt::LeftButton, {}, QPoint(6, r.dlg->m_btnEeprom[4]->height() / 2));
        QVERIFY(r.dlg->m_btnEeprom[4]->isChecked() && !r.dlg->m_btnEeprom[0]->isChecked());
        r.dlg->m_edtEepromFile->setText(path);
        QTest::mouseClick(r.dlg->m_btnEepromLoad, Qt::LeftButton);
        QCOMPARE(r.dlg->m_edtBytesToWrite->text(), QString("5,376"));
        QTRY_VERIFY_WITH_TIMEOUT(!r.dlg->m_eeprom.UpdateRunning(), 20000);
        QVERIFY(r.dlg->m_eeprom.m_bLastUpdateComplete);
        QCOMPARE(r.boxes.Boxes().back().text, std::string("DP FPGA Configuration EEPROM Update has completed."));
        QCOMPARE(r.dlg->m_edtBytesWritten->text(), QString("5,376"));
        QCOMPARE(r.dlg->m_prgBulkErase->value(), 255);
        image.resize(5376, 0xFF);
        std::lock_guard<std::mutex> lock(r.unit.m_mutex);
        QCOMPARE(r.unit.EepromDigest(4), CUnitSimulator::Digest(image));
        QCOMPARE(r.unit.m_currentEeprom, 4);
    }

    void dspLoadClosesTheDialogWhenDone() {
        Rig r;
        QTemporaryDir dir;
        const QString path = dir.filePath("TR52K1_DSP1_v3.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1000, 'x'));
        f.close();
        r.dlg->m_dsp.m_nWriteWaitStepMs = 1;
        r.dlg->show();
        r.dlg->m_edtDsp1File->setText(path);
        QTest::mouseClick(r.dlg->m_btnDsp1Load, Qt::LeftButton);
        QCOMPARE(r.boxes.Boxes().back().text, std::string("DSP1 Flash Operation Completed."));
        QCOMPARE(r.dlg->m_lblBulkErase->text(), QString("Uploading:"));
        QCOMPARE(r.dlg->m_prgPageProgram->value(), 60);
        QTRY_VERIFY(!r.dlg->isVisible());
        std::lock_guard<std::mutex> lock(r.unit.m_mutex);
        QCOMPARE(r.unit.m_dspImages[0].size(), size_t{1000});
    }

    // The connection reset in the middle of programming: the dialog reports
    // the failure, never the completion, and a new Load is accepted.
    void eepromUpdateCutOffMidwayIsReportedAndCanBeRepeated() {
        Rig r([](CUnitSimulator& u) {
            u.m_eraseMs = 50;
            SimRule cut;
            ParseSimRule("reset:0x1021@6", &cut, nullptr);
            u.m_faults.rules.push_back(cut);
        });
        QTemporaryDir dir;
        const QString path = dir.filePath("tr52K_dp.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(10 * 256, 'e'));
        f.close();
        r.dlg->m_edtEepromFile->setText(path);
        QTest::mouseClick(r.dlg->m_btnEepromLoad, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!r.dlg->m_eeprom.UpdateRunning(), 30000);
        QVERIFY(!r.dlg->m_eeprom.m_bLastUpdateComplete);
        QCOMPARE(r.boxes.Boxes().back().text, std::string("WriteFPGA_ConfigEEPROM_Page() failed."));
        QCOMPARE(r.boxes.Boxes().back().caption, std::string("Serial Port Error"));
        for (const auto& b : r.boxes.Boxes()) QVERIFY(b.text.find("has completed") == std::string::npos);
        {  // five pages arrived
            std::lock_guard<std::mutex> lock(r.unit.m_mutex);
            QCOMPARE(r.unit.m_eeproms[0].size(), size_t{5 * 256});
        }
        const size_t boxes = r.boxes.Boxes().size();
        // Not refused as busy: it runs, and fails at once on the lost connection.
        QTest::mouseClick(r.dlg->m_btnEepromLoad, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!r.dlg->m_eeprom.UpdateRunning(), 30000);
        QCOMPARE(r.boxes.Boxes().size(), boxes + 1);
        QCOMPARE(r.boxes.Boxes().back().text, std::string("BulkEraseFPGA_ConfigEEPROM() failed."));
    }

    // The unit takes the whole upload but its answer to the finish is lost:
    // the dialog waits, says to restart, and stays open.
    void dspFinishUnansweredIsNotReportedAsCompleted() {
        Rig r([](CUnitSimulator& u) {
            SimRule lost;
            ParseSimRule("drop:0x1001@2*1", &lost, nullptr);
            u.m_faults.rules.push_back(lost);
        });
        QTemporaryDir dir;
        const QString path = dir.filePath("TR52K1_DSP2_v3.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(700, 'd'));
        f.close();
        r.dlg->m_dsp.m_nWriteWaitStepMs = 1;
        r.dlg->show();
        r.dlg->m_edtDsp2File->setText(path);
        QTest::mouseClick(r.dlg->m_btnDsp2Load, Qt::LeftButton);
        QCOMPARE(r.boxes.Boxes().back().text, std::string("Restart the DSP2 Flash File Download Operation"));
        QCOMPARE(r.boxes.Boxes().back().caption, std::string("Serial Comm Error"));
        QCOMPARE(r.beeps.Tones().back(), (Tone{100, 100}));
        QTest::qWait(50);
        QVERIFY(r.dlg->isVisible());
        QVERIFY(r.trace.Text().find("FinishDSP_Flash() failed.\r\n") != std::string::npos);
    }

    void layoutFollowsTheTemplate() {
        Rig r;
        const CDialogUnits& u = r.dlg->Units();
        QCOMPARE(r.dlg->size(), u.ToPixels(0, 0, 699, 330).size());
        QVERIFY(r.dlg->TemplateRects().size() >= 50);
        for (const auto& [name, du] : r.dlg->TemplateRects()) {
            QWidget* w = r.W(name.toUtf8().constData());
            QVERIFY2(w, qPrintable(name));
            QCOMPARE(w->geometry(), u.ToPixels(du.x(), du.y(), du.width(), du.height()));
        }
        QCOMPARE(r.dlg->TemplateRects().at("m_btnEeprom_11"), QRect(502, 166, 178, 8));
    }
};

QTEST_MAIN(DialogTests)
#include "DialogTests.moc"
