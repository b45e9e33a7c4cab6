// The device and channel boxes: discovery, preselection from the settings,
// the list following devices that come and go, and the writes of the user's
// choices.
#include "shell/model/capture_model.h"

#include "base/settings.h"
#include "shell/model/activity_log.h"
#include "devices/device_discovery.h"
#include "engine/capture_settings.h"
#include "engine/channels.h"
#include "shell/model/dlg_ids.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace {

// Case-insensitive order of the device names (ASCII letters folded).
bool NameLess(const std::string& strA, const std::string& strB)
{
    return std::lexicographical_compare(strA.begin(), strA.end(), strB.begin(), strB.end(),
        [](char chA, char chB) {
            return std::tolower(static_cast<unsigned char>(chA)) < std::tolower(static_cast<unsigned char>(chB));
        });
}

// The index of port nPort in the list; -1 when it is not there.
int32_t FindPort(const std::vector<CDeviceItem>& vecItems, int32_t nPort)
{
    for (size_t i = 0; i < vecItems.size(); ++i) {
        if (vecItems[i].m_nPort == nPort)
            return static_cast<int32_t>(i);
    }
    return -1;
}

bool SameDevices(const std::vector<CDeviceItem>& vecA, const std::vector<CDeviceItem>& vecB)
{
    return std::equal(vecA.begin(), vecA.end(), vecB.begin(), vecB.end(),
        [](const CDeviceItem& a, const CDeviceItem& b) { return a.m_nPort == b.m_nPort && a.m_strName == b.m_strName; });
}

} // namespace

// Sorted by name, case-insensitively; equal names keep their discovery order.
std::vector<CDeviceItem> CCaptureModel::ListPresentDevices()
{
    std::vector<CDeviceItem> vecItems;
    m_devices.EnumeratePresentPorts(vecItems);
    // Each item's port comes from discovery; one that names no port cannot be opened.
    vecItems.erase(std::remove_if(vecItems.begin(), vecItems.end(),
                       [](const CDeviceItem& item) { return item.m_nPort < DEVICE_PORT_MIN || item.m_nPort > DEVICE_PORT_MAX; }),
        vecItems.end());
    std::stable_sort(vecItems.begin(), vecItems.end(),
        [](const CDeviceItem& a, const CDeviceItem& b) { return NameLess(a.m_strName, b.m_strName); });
    return vecItems;
}

// Only the stored port may be selected.
void CCaptureModel::FillDeviceList()
{
    m_vecDevices = ListPresentDevices();
    m_nDeviceSel = FindPort(m_vecDevices, ReadStoredPort());
    m_view.ShowDevices(m_vecDevices, m_nDeviceSel);
    ShowPathAndRx();
}

// The selected port stays selected while present; without it the stored
// port is selected when present, as at start-up. An unchanged list is not
// shown again (the user may have the box open).
void CCaptureModel::OnDevicesChanged()
{
    const int32_t nSelPort = m_nDeviceSel >= 0 ? m_vecDevices[static_cast<size_t>(m_nDeviceSel)].m_nPort : 0;
    std::vector<CDeviceItem> vecItems = ListPresentDevices();
    int32_t nSel = FindPort(vecItems, nSelPort);
    if (nSel < 0)
        nSel = FindPort(vecItems, ReadStoredPort());
    if (nSel == m_nDeviceSel && SameDevices(vecItems, m_vecDevices))
        return;
    m_vecDevices = std::move(vecItems);
    m_nDeviceSel = nSel;
    m_view.ShowDevices(m_vecDevices, m_nDeviceSel);
}

void CCaptureModel::StartDeviceWatch()
{
    if (m_pDeviceWatch == nullptr)
        return;
    // The watcher's thread: a post, at most one waiting.
    const bool bWatching = m_pDeviceWatch->Start([this] {
        if (!m_bDevicesChangePosted.exchange(true) && !m_wnd.PostWndMessage(WM_MODEL_DEVICES_CHANGED, 0, 0))
            m_bDevicesChangePosted = false;
    });
    if (!bWatching)
        LogPrintf("Devices plugged in or out are not followed: press \"...\" to look again\n");
}

// A stored channel outside 11..26 shows the first one.
void CCaptureModel::SelectStoredChannel()
{
    m_nChannelSel = ReadStoredChannel() - CHANNEL_FIRST;
    m_view.ShowChannel(m_nChannelSel);
    ShowPathAndRx();
}

void CCaptureModel::OnDeviceChosen(int32_t nIndex)
{
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_vecDevices.size())
        return;
    m_nDeviceSel = nIndex;
    if (WriteSettingInt(SETTINGS_INDEX, SETTINGS_KEY_PORT, m_vecDevices[static_cast<size_t>(nIndex)].m_nPort) != 1)
        LogWriteFailure(SETTINGS_KEY_PORT);
}

void CCaptureModel::OnChannelChosen(int32_t nIndex)
{
    if (nIndex < 0 || nIndex > CHANNEL_LAST - CHANNEL_FIRST)
        return;
    m_nChannelSel = nIndex;
    if (WriteSettingInt(SETTINGS_INDEX, SETTINGS_KEY_CHANNEL, nIndex + CHANNEL_FIRST) != 1)
        LogWriteFailure(SETTINGS_KEY_CHANNEL);
    RetuneToBox();
}

void CCaptureModel::OnRefreshDevices()
{
    FillDeviceList();
    OnDeviceChosen(m_nDeviceSel);
}
