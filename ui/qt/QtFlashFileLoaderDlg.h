// The loader's window on Qt 6 Widgets: the controls of template 102 as Qt
// widgets, bound by their ids to the dialog's behaviour (CTR52K_FlashFileLoaderDlg),
// with the ticker's messages delivered on this thread.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <array>
#include <memory>
#include <string>

#include <map>

#include "platform/Beep.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "protocol/TR52K1_Comm.h"
#include "ui/DialogControls.h"
#include "ui/DialogCore.h"
#include "ui/DialogTemplate.h"
#include "ui/qt/IpAddressEdit.h"
#include "update/Ticker.h"

// Dialog units of the template converted with the font's base units.
struct CDialogUnits {
    int baseX = 6, baseY = 13;
    QRect ToPixels(int x, int y, int w, int h) const {
        return QRect(x * baseX / 4, y * baseY / 8, w * baseX / 4, h * baseY / 8);
    }
    static CDialogUnits ForFont(const QFont& font);
};

// Check boxes and radio buttons that only the program checks.
class CManualRadioButton : public QRadioButton {
public:
    using QRadioButton::QRadioButton;

protected:
    void nextCheckState() override {}
};
class CManualCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {}
};

class CQtFlashFileLoaderDlg : public QDialog, public CDialogControls {
    Q_OBJECT
public:
    CQtFlashFileLoaderDlg(CTR52K1_Comm* comm, uint32_t noInitStatus, CRegistryStore& registry,
                          CMessageBox& box = GetMessageBox(), CBeeper& beeper = GetBeeper());
    ~CQtFlashFileLoaderDlg() override;

    // Runs the initialisation (reads, enabling) once, then the modal loop.
    int DoModal();
    void OnInitDialog() { m_core.OnInitDialog(); }

    // CDialogControls over the widgets.
    void SetControlText(int id, const std::string& text) override;
    std::string GetControlText(int id) override;
    void SetCheck(int id, bool checked) override;
    bool GetCheck(int id) override;
    void EnableControl(int id, bool enable) override;
    void SetProgressRange(int id, int32_t lower, int32_t upper) override;
    void SetProgressPos(int id, int32_t pos) override;
    int32_t GetProgressPos(int id) override;
    int32_t GetProgressLower(int id) override;
    int32_t GetProgressUpper(int id) override;
    void SetIpAddress(int id, uint32_t address) override;
    uint32_t GetIpAddress(int id, uint8_t fields[4]) override;
    void BeginBusyCursor() override;
    void EndBusyCursor() override;
    EFileChoice ChooseBinaryFile(std::string* path, uint32_t* errorCode) override;
    bool AskYesNo(const std::string& question, const std::string& caption) override;
    void PostClose() override;
    void WatchInput(intptr_t handle, bool watch) override;
    std::shared_ptr<CTickerTarget> TickerTarget(uintptr_t* window) override;

    // Escape, the close box and PostClose all end here.
    void reject() override;

    // Template rectangle (dialog units) of each control by object name,
    // for the layout check.
    const std::map<QString, QRect>& TemplateRects() const { return m_templateRects; }
    const CDialogUnits& Units() const { return m_units; }

    CTR52K_FlashFileLoaderDlg m_core;

    // The widget of a control of the template, by its id; null when it has
    // none of that class.
    template <class W>
    W* Widget(int id) const { return qobject_cast<W*>(Control(id)); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void CreateControls();
    QWidget* MakeWidget(const CTemplateControl& control);
    void NameControls();
    QWidget* Control(int id) const;
    void Repaint(QWidget* w);
    void ShowAbout();

    CDialogUnits m_units;
    std::map<QString, QRect> m_templateRects;
    std::map<int, QWidget*> m_byId;
    class QSocketNotifier* m_idleInput = nullptr;
};
