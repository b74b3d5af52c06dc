// Resource identifiers of the Windows dialog program; the control ids are
// those of ui/ControlIds.h. The end-to-end test finds every control by its id.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TR52K_FLASHFILELOADER_DIALOG 102
#define IDP_SOCKETS_INIT_FAILED 103
#define IDR_MAINFRAME 128
#define IDR_ACCELERATOR1 129
#define IDC_BUILD_TIME 1002
#define IDM_ABOUTBOX 0x0010
#define ID_ACCEL_ENTER 32771
#define ID_ACCEL_SPACE 32772

#include "../ControlIds.h"
