// The dialog against the simulator on loopback, offscreen, with recording
// boxes and beeps.
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include "app/Settings.h"
#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "sim/SimServer.h"
#include "ui/qt/QtFlashFileLoaderDlg.h"

class DialogTests : public QObject {
    Q_OBJECT

    struct Rig {
        CUnitSimulator unit;
        CSimServer server{unit};
        CCapturingDebugSink trace;
        CScopedThreadDebugSink scoped{&trace};  // the ticker's handlers run on this thread
        uint16_t port = server.Start(0) ? server.Port() : 0;
        CNetworkDeviceComm link{"127.0.0.1", port};
        CTR52K1_Comm comm{&link};
        CMemoryRegistryStore registry;
        CRecordingMessageBox boxes;
        CRecordingBeeper beeps;
        CQtFlashFileLoaderDlg dlg;
        QTemporaryDir dir;

        explicit Rig(const char* rule = "", bool updateEnable = true, uint32_t noInit = 0)
            : dlg(&comm, noInit, registry, boxes, beeps) {
            {
                std::lock_guard<std::mutex> lock(unit.m_mutex);  // the server thread reads them
                if (*rule) QVERIFY(ParseSimRule(rule, &unit.m_faultRules.emplace_back(), nullptr));
                unit.m_bUpdateEnable = updateEnable;
            }
            comm.m_nResponseTimeoutMs = 300;
            dlg.m_core.m_dsp.m_onUpdateEnded = dlg.m_core.m_eeprom.m_onUpdateEnded = nullptr;  // no history from tests
            dlg.OnInitDialog();
        }
        QString File(const char* name, const std::vector<uint8_t>& bytes) {
            QFile f(dir.filePath(name));
            if (f.open(QIODevice::WriteOnly)) f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
            return f.fileName();
        }
        std::string LastBox() { return boxes.Boxes().empty() ? "" : boxes.Boxes().back().text; }
    };

    static std::vector<uint8_t> Image(size_t n) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 3);
        return v;
    }

private slots:
    // The update controls wait for the unit's consent; nothing at start-up shows a box.
    void startUpFillsTheDisplaysAndGatesTheUpdateControls() {
        struct Case { const char* rule; bool updateEnable; uint32_t noInit; bool enabled; };
        for (const Case& c : {Case{"", true, 0, true}, Case{"", false, 0, false}, Case{"drop:0x1008", true, 0, false},
                              Case{"", true, 1, false}}) {
            Rig r(c.rule, c.updateEnable, c.noInit);
            auto& d = r.dlg;
            QCOMPARE(d.Widget<QLabel>(IDC_SERIAL_NUMBER)->text(), QString("00AB-005"));
            QVERIFY(!c.enabled || d.Widget<QAbstractButton>(IDC_EEPROM_FIRST + 1)->text() == "5A000002 : 1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim Mode");
            for (QWidget* w : std::initializer_list<QWidget*>{d.Widget<QLineEdit>(IDC_DSP1_FILE), d.Widget<QPushButton>(IDC_DSP1_LOAD), d.Widget<QPushButton>(IDC_DSP2_BROWSE),
                                                              d.Widget<QPushButton>(IDC_EEPROM_LOAD), d.Widget<QAbstractButton>(IDC_EEPROM_FIRST + 11)})
                QVERIFY2(w->isEnabled() == c.enabled, qPrintable(w->objectName()));
            QVERIFY(d.Widget<QPushButton>(IDC_PING)->isEnabled() && d.Widget<QAbstractButton>(IDC_OP_MODE_1 + 1 - 1)->isEnabled());
            QVERIFY(r.boxes.Boxes().empty());
        }
    }

    void dspUpdate_data() {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QString>("box");
        QTest::newRow("completed") << QString() << "DSP2 Flash Operation Completed.";
        QTest::newRow("finish lost") << QString("drop:0x1001@2*1") << "Restart the DSP2 Flash File Download Operation";
    }
    // The dialog closes after a completed update; after a lost finish it
    // says to restart and stays open.
    void dspUpdate() {
        QFETCH(QString, rule);
        QFETCH(QString, box);
        Rig r(qPrintable(rule));
        r.dlg.m_core.m_dsp.m_procedure.m_nWriteWaitStepMs = 1;
        r.dlg.show();
        r.dlg.Widget<QLineEdit>(IDC_DSP2_FILE)->setText(r.File("TR52K1_DSP2_v3.bin", Image(700)));
        QTest::mouseClick(r.dlg.Widget<QPushButton>(IDC_DSP2_LOAD), Qt::LeftButton);
        QVERIFY2(QString::fromStdString(r.LastBox()).startsWith(box), r.LastBox().c_str());
        QCOMPARE(r.dlg.Widget<QProgressBar>(IDC_PRG_PAGE_PROGRAM)->value(), 60);  // the write wait ran either way
        QTest::qWait(100);
        QCOMPARE(r.dlg.isVisible(), !rule.isEmpty());
        std::lock_guard<std::mutex> lock(r.unit.m_mutex);
        QCOMPARE(r.unit.m_dspImages[1], Image(700));
    }

    // Every control sits where the template puts it, in the font's dialog units.
    void layoutFollowsTheTemplate() {
        Rig r;
        QVERIFY(r.dlg.TemplateRects().size() > 40);
        for (const auto& [name, rect] : r.dlg.TemplateRects()) {
            QWidget* w = r.dlg.findChild<QWidget*>(name);
            QVERIFY2(w, qPrintable(name));
            QCOMPARE(w->geometry(), r.dlg.Units().ToPixels(rect.x(), rect.y(), rect.width(), rect.height()));
        }
    }

    // Enter and Space do nothing anywhere in the dialog: not even on a
    // focused button.
    void enterAndSpaceDoNothing() {
        Rig r;
        r.dlg.show();
        r.dlg.Widget<QPushButton>(IDC_PING)->setFocus();
        for (auto key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(r.dlg.Widget<QPushButton>(IDC_PING), key);
        QTest::qWait(50);
        QVERIFY(r.dlg.isVisible());
        std::lock_guard<std::mutex> lock(r.unit.m_mutex);
        QCOMPARE(r.unit.m_commandCounts.count(0x0000), size_t(0));
    }

    // The address field shows the text as the IP-address control parses it, and Save
    // stores what the fields hold.
    void showAndSaveTheTargetAddress() {
        const struct { const char* text; uint32_t shown; } cases[] = {
            {"10.1.2.3", 0x0A010203}, {"300.2.x.4", 0x2C020204}, {"7", 0x07070707}, {" +9.8.7.6", 0x09080706}};
        for (const auto& c : cases) {
            Rig r;
            r.dlg.m_core.m_strTargetIp = c.text;
            r.dlg.m_core.ShowTargetAddress();
            uint8_t f[4];
            QCOMPARE(r.dlg.Widget<CIpAddressEdit>(IDC_TARGET_IP)->GetAddress(f), c.shown);
        }
        Rig r;
        r.dlg.Widget<CIpAddressEdit>(IDC_TARGET_IP)->SetAddress(0x7F000009);
        QVERIFY(r.dlg.m_core.SaveTargetAddress() != 0);
        const auto& v = r.registry.m_hive[SETTINGS_KEY_PATH]["ETHERNET_IP_ADDR"];
        QCOMPARE(v.type, uint32_t(win32::REG_SZ));
        QCOMPARE(RegSzBytesToUtf8(v.data.data(), v.data.size()), std::string("127.0.0.9"));
        QCOMPARE(r.dlg.m_core.m_strTargetIp, std::string("127.0.0.9"));
    }

    // Every control a user can reach or read has a name of its own.
    void everyControlHasAnAccessibleName() {
        Rig r;
        QSet<QString> names;
        for (QWidget* w : r.dlg.findChildren<QWidget*>()) {
            const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                                 qobject_cast<QProgressBar*>(w) || w->objectName().startsWith("IDC_");
            if (!control) continue;
            QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
            QVERIFY2(!names.contains(w->accessibleName()), qPrintable(w->accessibleName()));
            names.insert(w->accessibleName());
        }
        QVERIFY(names.contains("Load EEPROM") && names.contains("Bulk Erase progress") && names.contains("EEPROM_11"));
    }

    // A handler that repaints dispatches nothing: a tick queued meanwhile
    // runs only once the handler has returned to the loop.
    void ticksWaitUntilTheHandlerReturns() {
        Rig r;
        bool ticked = false;
        QMetaObject::invokeMethod(&r.dlg, [&] { ticked = true; }, Qt::QueuedConnection);
        r.dlg.m_core.StepProgress(EProgressBar::BulkErase);
        r.dlg.m_core.SetText(EUpdateText::BytesWritten, "1,024");
        r.dlg.m_core.SetLabel(EProgressLabel::BulkErase, "Uploading:");
        QVERIFY(!ticked);
        QTRY_VERIFY(ticked);
    }

    // Escape or the close box during an EEPROM update ask, No the default:
    // No keeps the window and the update, Yes ends both.
    void closingDuringAnEepromUpdateAsks() {
        Rig r;
        r.comm.m_nResponseTimeoutMs = 3000;
        {
            std::lock_guard<std::mutex> lock(r.unit.m_mutex);
            r.unit.m_eraseMs = 5000;  // still erasing at both questions; Yes ends it
        }
        r.dlg.show();
        r.dlg.Widget<QLineEdit>(IDC_EEPROM_FILE)->setText(r.File("tr52K_dp.bin", Image(40 * 256)));
        QTest::mouseClick(r.dlg.Widget<QPushButton>(IDC_EEPROM_LOAD), Qt::LeftButton);
        QVERIFY(r.dlg.m_core.m_eeprom.UpdateRunning());
        struct Seen { QString text; bool defaultNo = false; bool shown = false; };
        // Answers the question box once it is up.
        auto answer = [&r](QMessageBox::StandardButton button, Seen* seen) {
            auto* timer = new QTimer(&r.dlg);
            QObject::connect(timer, &QTimer::timeout, [timer, button, seen] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box) return;
                seen->shown = true;
                seen->text = box->text();
                seen->defaultNo = box->defaultButton() == box->button(QMessageBox::No);
                timer->stop();
                timer->deleteLater();
                box->button(button)->click();
            });
            timer->start(10);
        };
        Seen no;
        answer(QMessageBox::No, &no);
        QTest::keyClick(&r.dlg, Qt::Key_Escape);
        QVERIFY(no.shown);
        QCOMPARE(no.text, QString("EEPROM_0 is being updated. Closing now leaves it erased and not current. Close anyway?"));
        QVERIFY(no.defaultNo);
        QVERIFY(r.dlg.isVisible());
        QVERIFY(r.dlg.m_core.m_eeprom.UpdateRunning());
        Seen yes;
        answer(QMessageBox::Yes, &yes);
        r.dlg.close();
        QVERIFY(yes.shown);
        QVERIFY(!r.dlg.isVisible());
        QVERIFY(!r.dlg.m_core.m_eeprom.UpdateRunning());
        QCOMPARE(r.dlg.m_core.m_eeprom.Outcome().result, EUpdateResult::Interrupted);
    }

    // Bytes the unit sends while the dialog is idle are dropped as they come,
    // so the next Ping reads its own reply.
    void idleInputDoesNotShiftTheNextReply() {
        Rig r("extra:0x0000:5@1*1");
        QTest::mouseClick(r.dlg.Widget<QPushButton>(IDC_PING), Qt::LeftButton);
        QTest::qWait(300);  // idle: the stray bytes arrive and are read
        QTest::mouseClick(r.dlg.Widget<QPushButton>(IDC_PING), Qt::LeftButton);
        QCOMPARE(r.dlg.Widget<QLineEdit>(IDC_PING_RESULT)->text(), QString("68 00 00 00 00 00 "));
        QCOMPARE(r.beeps.Tones().back().frequencyHz, 1000u);
    }
};

QTEST_MAIN(DialogTests)
#include "DialogTests.moc"
