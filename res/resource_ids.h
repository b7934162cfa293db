#pragma once
// Identifiers shared by the resource script and the code: plain macros, so that windres reads them.

#define IDD_MAIN 100

#define IDC_REPORT_TEXT 4001
#define IDC_STATUS_BAR 4002
#define IDC_MODEL_LABEL 4003
#define IDC_MODEL_FIELD 4004
#define IDC_SERIAL_LABEL 4005
#define IDC_SERIAL_FIELD 4006
#define IDC_GET_DATA 4008
#define IDC_FIRMWARE_FIELD 4009
#define IDC_VERSION_LABEL 4010
#define IDC_CRUM_FIELD 4011
#define IDC_CRUM_LABEL 4012
#define IDC_INFO_GROUP 4013
#define IDC_OPEN_REPORT 4014

#define IDI_APP 8001
