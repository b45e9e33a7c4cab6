// Resource ids for windres and the Win32 face, as macros (the resource
// compiler reads only those). The values are shell/dlg_ids.h's, which cannot
// be included beside <windows.h> (it declares IDOK itself); a test compares them.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDD_SCAN 103
#define IDR_MAINFRAME 128
#define IDC_STOP 3
#define IDC_MODE_WIRESHARK 1000
#define IDC_MODE_PCAPFILE 1001
#define IDC_WIRESHARK_PATH 1002
#define IDC_DEVICE 1004
#define IDC_CHANNEL 1005
#define IDC_LOG 1007
#define IDC_BROWSE 1008
#define IDC_START 1009
#define IDC_EXIT 1010
#define IDC_RX_COUNT 1011
#define IDC_REFRESH 1012
#define IDC_PATH_LABEL 1013
#define IDC_SCAN 1014
#define IDC_SCAN_CHART 1015
#define IDC_SCAN_HINT 1016
#define IDC_STATIC (-1)

// The main dialog's caption; a second instance finds the first one by it.
#define QM_MAIN_CAPTION "Quillmark (support@quillmark.dev)"
