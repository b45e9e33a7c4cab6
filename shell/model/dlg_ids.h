// Resource and control ids of the dialogs. Each control's objectName in the
// .ui files is its IDC_ name; GetDlgItem maps an id to the control.
#pragma once

#include <cstdint>

enum : int32_t {
    IDOK = 1,
    IDC_STOP = 3,
    IDM_ABOUTBOX = 0x0010,
    IDD_ABOUTBOX = 100,
    IDS_ABOUTBOX = 101,
    IDD_MAIN = 102,
    IDD_SCAN = 103,
    IDR_MAINFRAME = 128,
    IDC_MODE_WIRESHARK = 1000,
    IDC_MODE_PCAPFILE = 1001,
    IDC_WIRESHARK_PATH = 1002,
    IDC_DEVICE = 1004,
    IDC_CHANNEL = 1005,
    IDC_LOG = 1007,
    IDC_BROWSE = 1008,
    IDC_START = 1009,
    IDC_EXIT = 1010,
    IDC_RX_COUNT = 1011,
    IDC_REFRESH = 1012,
    IDC_PATH_LABEL = 1013,   // the path box's label: its text follows the mode
    IDC_SCAN = 1014,
    IDC_SCAN_CHART = 1015,   // IDD_SCAN's bars
    IDC_SCAN_HINT = 1016,
};

struct CDlgItemId {
    int32_t m_nID;
    const char* m_pszName;   // objectName of the control
};

// The controls of IDD_MAIN in template (= tab) order, the labels left out.
constexpr CDlgItemId g_mainDlgItems[] = {
    { IDC_MODE_WIRESHARK, "IDC_MODE_WIRESHARK" },
    { IDC_MODE_PCAPFILE, "IDC_MODE_PCAPFILE" },
    { IDC_WIRESHARK_PATH, "IDC_WIRESHARK_PATH" },
    { IDC_BROWSE, "IDC_BROWSE" },
    { IDC_DEVICE, "IDC_DEVICE" },
    { IDC_REFRESH, "IDC_REFRESH" },
    { IDC_CHANNEL, "IDC_CHANNEL" },
    { IDC_SCAN, "IDC_SCAN" },
    { IDC_LOG, "IDC_LOG" },
    { IDC_START, "IDC_START" },
    { IDC_STOP, "IDC_STOP" },
    { IDC_EXIT, "IDC_EXIT" },
    { IDC_RX_COUNT, "IDC_RX_COUNT" },
};

// String IDS_ABOUTBOX.
constexpr const char* STR_ABOUTBOX = "&About Quillmark...";
// The Rx label is refreshed from the counters this often while capturing.
constexpr int32_t RX_LABEL_REFRESH_MS = 250;
