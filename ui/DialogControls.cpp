#include "ui/DialogControls.h"

#include "protocol/TR52K1_Comm.h"

std::string ControlAccessibleName(int id) {
    if (id >= IDC_EEPROM_FIRST && id < IDC_EEPROM_FIRST + EEPROM_COUNT)
        return "EEPROM_" + std::to_string(id - IDC_EEPROM_FIRST);
    switch (id) {
        case IDC_TARGET_IP: return "Target Ethernet Address";
        case IDC_SAVE_IP: return "Save";
        case IDC_PRG_BULK_ERASE: return "Bulk Erase progress";
        case IDC_PRG_PAGE_PROGRAM: return "Page Program progress";
        case IDC_LBL_BULK_ERASE: return "Bulk Erase progress caption";
        case IDC_LBL_PAGE_PROGRAM: return "Page Program progress caption";
        case IDC_BYTES_TO_WRITE: return "Bytes to write";
        case IDC_BYTES_WRITTEN: return "Bytes written";
        case IDC_DSP1_FILE: return "DSP1 image path";
        case IDC_DSP1_BROWSE: return "Browse for the DSP1 image";
        case IDC_DSP1_LOAD: return "Load DSP1";
        case IDC_DSP2_FILE: return "DSP2 image path";
        case IDC_DSP2_BROWSE: return "Browse for the DSP2 image";
        case IDC_DSP2_LOAD: return "Load DSP2";
        case IDC_EEPROM_FILE: return "EEPROM image path";
        case IDC_EEPROM_BROWSE: return "Browse for the EEPROM image";
        case IDC_EEPROM_LOAD: return "Load EEPROM";
        case IDC_READ: return "Read";
        case IDC_SERIAL_NUMBER: return "Serial Number";
        case IDC_DEVICE_ID: return "Device ID";
        case IDC_DSP1_FW_VER: return "DSP1 Fw Ver";
        case IDC_DSP2_FW_VER: return "DSP2 Fw Ver";
        case IDC_FIO_FPGA_FW_VER: return "FIO FPGA Fw Ver";
        case IDC_BRIDGE_FPGA_FW_VER: return "Bridge FPGA Fw Ver";
        case IDC_DP_FPGA_FW_VER: return "DP FPGA Fw Ver";
        case IDC_OP_MODE_RAW: return "DP FPGA Personality Number";
        case IDC_OP_MODE: return "DP FPGA Personality";
        case IDC_DSP_BOARD_PCB_REV: return "DSP Board PCB Revision";
        case IDC_DP_FPGA_BOARD_PCB_REV: return "DP FPGA Board PCB Rev";
        case IDC_DHCP_ENABLED: return "DHCP Enabled";
        case IDC_DEVICE_IP: return "Device IP Address";
        case IDC_TURN_OFF_CONSOLIDATED_STATUS: return "Turn Off Consolidated Status";
        case IDC_TURN_OFF_ALL_GRAPHS: return "Turn Off All Graphs";
        case IDC_PING: return "Ping";
        case IDC_PING_RESULT: return "Ping reply";
        case IDC_OP_MODE_1: return "_2_BITSYNCS_3_DECOMS_2_SIMS_MODE:";
        case IDC_OP_MODE_1 + 1: return "_1_BITSYNC_2_DECOMS_1_SIM_1_SUPERSIM_MODE:";
        case IDC_OP_MODE_1 + 2: return "_1_DECOM_2_SUPERSIMS_MODE:";
    }
    return {};
}
