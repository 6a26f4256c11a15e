// Resource and control ids of the update form, shared by form.rc and the window code.
#pragma once

#define IDD_FLOTILLA_FORM 101
// The program's own icon: the lowest icon id, so the shell shows it for flotilla.exe.
#define IDI_APPLICATION_ICON 128
#define IDI_START_LINE 140
#define IDI_STOP_LINE 141
#define IDB_LINE_FAIL 149
#define IDB_LINE_PASS 150
#define IDB_LINE_READY 151
#define IDB_LINE_RUNNING 152

// Line 0's controls and the instructions above them. The probe and the Wine tests name the
// controls by these numbers.
#define IDC_COMPATIBILITY 1001
#define IDC_STEPS_HEADING 1002
#define IDC_STEP1 1003
#define IDC_STEP2 1004
#define IDC_STEP3 1005
#define IDC_WARNING1 1006
#define IDC_WARNING2 1007
#define IDC_WARNING3 1008
#define IDC_DURATION 1009
#define IDC_CURRENT_LABEL 1010
#define IDC_CURRENT_FIRMWARE 1011
#define IDC_CURRENT_WINDOWS 1012
#define IDC_CURRENT_MAC 1013
#define IDC_UPDATE_LABEL 1014
#define IDC_NEW_FIRMWARE 1015
#define IDC_NEW_WINDOWS 1016
#define IDC_NEW_MAC 1017
#define IDC_PORT_LABEL 1018
#define IDC_PORT 1019
#define IDC_STATUS 1020
#define IDC_PROGRESS_LABEL 1021
#define IDC_PERCENT 1022
#define IDC_PROGRESS 1023
#define IDC_UPDATE 1024
// Line 0's status mark; the form keeps it hidden.
#define IDC_LINE_ICON 1025
