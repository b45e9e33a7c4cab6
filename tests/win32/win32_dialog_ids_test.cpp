// The resource compiler's ids (res/resource_win32.h) are the model's
// (shell/dlg_ids.h). The two cannot meet in one file beside <windows.h>, so
// the model's values are taken first and compared once the macros exist.
#include "shell/model/dlg_ids.h"

#include <gtest/gtest.h>

namespace {

struct CModelIds {
    int32_t m_nValues[22];
};
constexpr CModelIds MODEL_IDS = { { IDM_ABOUTBOX, IDD_ABOUTBOX, IDS_ABOUTBOX, IDD_MAIN, IDR_MAINFRAME, IDC_STOP,
    IDC_MODE_WIRESHARK, IDC_MODE_PCAPFILE, IDC_WIRESHARK_PATH, IDC_DEVICE, IDC_CHANNEL, IDC_LOG, IDC_BROWSE,
    IDC_START, IDC_EXIT, IDC_RX_COUNT, IDC_REFRESH, IDC_PATH_LABEL, IDD_SCAN, IDC_SCAN, IDC_SCAN_CHART, IDC_SCAN_HINT } };
constexpr const char* MODEL_ABOUT_TEXT = STR_ABOUTBOX;

} // namespace

#include "res/resource_win32.h"

namespace {

constexpr CModelIds RESOURCE_IDS = { { IDM_ABOUTBOX, IDD_ABOUTBOX, IDS_ABOUTBOX, IDD_MAIN, IDR_MAINFRAME, IDC_STOP,
    IDC_MODE_WIRESHARK, IDC_MODE_PCAPFILE, IDC_WIRESHARK_PATH, IDC_DEVICE, IDC_CHANNEL, IDC_LOG, IDC_BROWSE,
    IDC_START, IDC_EXIT, IDC_RX_COUNT, IDC_REFRESH, IDC_PATH_LABEL, IDD_SCAN, IDC_SCAN, IDC_SCAN_CHART, IDC_SCAN_HINT } };

TEST(Win32DialogIds, ResourceIdsAreTheModels)
{
    for (size_t i = 0; i < std::size(MODEL_IDS.m_nValues); ++i)
        EXPECT_EQ(RESOURCE_IDS.m_nValues[i], MODEL_IDS.m_nValues[i]) << "id number " << i;
    EXPECT_STREQ(MODEL_ABOUT_TEXT, "&About Quillmark...");
}

} // namespace
