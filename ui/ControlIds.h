// The ids of the dialog's controls, the one list: the resource compiler
// reads it for the Windows template, the C++ code of every binding and of
// the dialog's behaviour reads it too. Plain definitions, since the
// resource compiler reads nothing else.
#ifndef TR52K_UI_CONTROL_IDS_H
#define TR52K_UI_CONTROL_IDS_H

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_TARGET_IP 1000
#define IDC_SAVE_IP 1001
#define IDC_EEPROM_0 1189
#define IDC_EEPROM_1 1190
#define IDC_EEPROM_2 1191
#define IDC_EEPROM_3 1192
#define IDC_EEPROM_4 1193
#define IDC_EEPROM_5 1194
#define IDC_EEPROM_6 1195
#define IDC_EEPROM_7 1196
#define IDC_EEPROM_8 1197
#define IDC_EEPROM_9 1198
#define IDC_EEPROM_10 1199
#define IDC_EEPROM_11 1200
#define IDC_PING_RESULT 1274
#define IDC_DSP1_FW_VER 2010
#define IDC_DEVICE_ID 2014
#define IDC_DSP2_FW_VER 2015
#define IDC_FIO_FPGA_FW_VER 2019
#define IDC_BRIDGE_FPGA_FW_VER 2021
#define IDC_DP_FPGA_FW_VER 2022
#define IDC_READ 2029
#define IDC_PING 2030
#define IDC_SERIAL_NUMBER 2031
#define IDC_OP_MODE_1 10837
#define IDC_OP_MODE_2 10838
#define IDC_OP_MODE_3 10839
#define IDC_TURN_OFF_CONSOLIDATED_STATUS 12958
#define IDC_TURN_OFF_ALL_GRAPHS 12959
#define IDC_DEVICE_IP 12967
#define IDC_DSP_BOARD_PCB_REV 12968
#define IDC_DP_FPGA_BOARD_PCB_REV 12969
#define IDC_OP_MODE_RAW 12993
#define IDC_OP_MODE 12994
#define IDC_DHCP_ENABLED 14148
#define IDC_LBL_BULK_ERASE 19931
#define IDC_PRG_BULK_ERASE 19932
#define IDC_LBL_PAGE_PROGRAM 19933
#define IDC_PRG_PAGE_PROGRAM 19934
#define IDC_BYTES_TO_WRITE 19935
#define IDC_BYTES_WRITTEN 19936
#define IDC_DSP1_FILE 19937
#define IDC_DSP1_BROWSE 19938
#define IDC_DSP1_LOAD 19939
#define IDC_DSP2_FILE 19940
#define IDC_DSP2_BROWSE 19941
#define IDC_DSP2_LOAD 19942
#define IDC_EEPROM_FILE 19951
#define IDC_EEPROM_BROWSE 19953
#define IDC_EEPROM_LOAD 19954

// EEPROM_k is IDC_EEPROM_FIRST + k; mode m is IDC_OP_MODE_1 + m - 1.
#define IDC_EEPROM_FIRST IDC_EEPROM_0

#endif
