// The dialog's controls as its behaviour sees them: addressed by the ids of
// dialog template 102, whatever toolkit draws them. Each binding (Qt, Win32)
// implements this over its widgets; the tests record it.
#pragma once

#include <cstdint>
#include <string>

#include "ui/UpdateView.h"

enum EControlId : int {
    IDC_TARGET_IP = 1000,
    IDC_SAVE_IP = 1001,
    IDC_EEPROM_FIRST = 1189,  // EEPROM_0; EEPROM_k is IDC_EEPROM_FIRST + k
    IDC_PING_RESULT = 1274,
    IDC_DEVICE_IP = 12967,
    IDC_DSP_BOARD_PCB_REV = 12968,
    IDC_DP_FPGA_BOARD_PCB_REV = 12969,
    IDC_OP_MODE_RAW = 12993,
    IDC_OP_MODE = 12994,
    IDC_TURN_OFF_CONSOLIDATED_STATUS = 12958,
    IDC_TURN_OFF_ALL_GRAPHS = 12959,
    IDC_DEVICE_ID = 2014,
    IDC_DSP1_FW_VER = 2010,
    IDC_DSP2_FW_VER = 2015,
    IDC_FIO_FPGA_FW_VER = 2019,
    IDC_BRIDGE_FPGA_FW_VER = 2021,
    IDC_DP_FPGA_FW_VER = 2022,
    IDC_READ = 2029,
    IDC_PING = 2030,
    IDC_SERIAL_NUMBER = 2031,
    IDC_OP_MODE_1 = 10837,  // mode m is IDC_OP_MODE_1 + m - 1
    IDC_DHCP_ENABLED = 14148,
    IDC_LBL_BULK_ERASE = 19931,
    IDC_PRG_BULK_ERASE = 19932,
    IDC_LBL_PAGE_PROGRAM = 19933,
    IDC_PRG_PAGE_PROGRAM = 19934,
    IDC_BYTES_TO_WRITE = 19935,
    IDC_BYTES_WRITTEN = 19936,
    IDC_DSP1_FILE = 19937,
    IDC_DSP1_BROWSE = 19938,
    IDC_DSP1_LOAD = 19939,
    IDC_DSP2_FILE = 19940,
    IDC_DSP2_BROWSE = 19941,
    IDC_DSP2_LOAD = 19942,
    IDC_EEPROM_FILE = 19951,
    IDC_EEPROM_BROWSE = 19953,
    IDC_EEPROM_LOAD = 19954,
};

class CDialogControls {
public:
    virtual ~CDialogControls() = default;

    // Edits, statics, buttons, radio-button captions; the window's caption
    // with id 0.
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual std::string GetControlText(int id) = 0;
    // Check boxes and radio buttons.
    virtual void SetCheck(int id, bool checked) = 0;
    virtual bool GetCheck(int id) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    // Progress bars: the position is kept inside the range by the caller.
    virtual void SetProgressRange(int id, int32_t lower, int32_t upper) = 0;
    virtual void SetProgressPos(int id, int32_t pos) = 0;
    virtual int32_t GetProgressPos(int id) = 0;
    virtual int32_t GetProgressLower(int id) = 0;
    virtual int32_t GetProgressUpper(int id) = 0;
    // The IP-address control, field 0 in the highest byte.
    virtual void SetIpAddress(int id, uint32_t address) = 0;
    virtual uint32_t GetIpAddress(int id, uint8_t fields[4]) = 0;

    // What the window itself does.
    virtual void BeginBusyCursor() = 0;
    virtual void EndBusyCursor() = 0;
    virtual EFileChoice ChooseBinaryFile(std::string* path, uint32_t* errorCode) = 0;
    // A question box owned by the window, Yes and No with No the default;
    // true for Yes.
    virtual bool AskYesNo(const std::string& question, const std::string& caption) = 0;
    // Asks the window to close once the current handler has returned; the
    // close goes through CanClose() like the user's own.
    virtual void PostClose() = 0;
};

// What screen readers and test tools call each control that code addresses:
// the caption for buttons and check boxes, the words beside it for edits,
// bars and values. Empty for an id the dialog does not have.
std::string ControlAccessibleName(int id);
