// The device and channel boxes: discovery, preselection from the settings and
// the writes of the user's choices.
#include "shell/capture_model.h"

#include "base/settings.h"
#include "shell/device_discovery.h"
#include "shell/dlg_ids.h"

#include <algorithm>
#include <cctype>

namespace {

// Case-insensitive order of the device names (ASCII letters folded).
bool NameLess(const std::string& strA, const std::string& strB)
{
    return std::lexicographical_compare(strA.begin(), strA.end(), strB.begin(), strB.end(),
        [](char chA, char chB) {
            return std::tolower(static_cast<unsigned char>(chA)) < std::tolower(static_cast<unsigned char>(chB));
        });
}

} // namespace

// The list is sorted by name, case-insensitively; equal names keep their
// discovery order. Only the stored port may be selected.
void CCaptureModel::FillDeviceList()
{
    m_vecDevices.clear();
    std::vector<std::string> vecNames;
    m_devices.EnumeratePresentPorts(vecNames);
    for (const std::string& strName : vecNames) {
        const int32_t nPort = PortNumberFromFriendlyName(strName.c_str());
        if (nPort != 0)
            m_vecDevices.push_back(CDeviceItem { strName, nPort });
    }
    std::stable_sort(m_vecDevices.begin(), m_vecDevices.end(),
        [](const CDeviceItem& a, const CDeviceItem& b) { return NameLess(a.m_strName, b.m_strName); });
    m_nDeviceSel = -1;
    if (!m_vecDevices.empty()) {
        const int32_t nStored = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
        for (size_t i = 0; i < m_vecDevices.size(); ++i) {
            if (m_vecDevices[i].m_nPort == nStored) {
                m_nDeviceSel = static_cast<int32_t>(i);
                break;
            }
        }
    }
    m_view.ShowDevices(m_vecDevices, m_nDeviceSel);
    ShowPathAndRx();
}

// A stored channel outside 11..26 shows the first one.
void CCaptureModel::SelectStoredChannel()
{
    const int32_t nChannel = ReadSettingInt(SETTINGS_INDEX, "Channel", CHANNEL_FIRST);
    m_nChannelSel = (nChannel >= CHANNEL_FIRST && nChannel <= CHANNEL_LAST) ? nChannel - CHANNEL_FIRST : 0;
    m_view.ShowChannel(m_nChannelSel);
    ShowPathAndRx();
}

void CCaptureModel::OnDeviceChosen(int32_t nIndex)
{
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_vecDevices.size())
        return;
    m_nDeviceSel = nIndex;
    if (WriteSettingInt(SETTINGS_INDEX, "ComPort", m_vecDevices[static_cast<size_t>(nIndex)].m_nPort) != 1)
        LogWriteFailure("ComPort");
}

void CCaptureModel::OnChannelChosen(int32_t nIndex)
{
    if (nIndex < 0 || nIndex > CHANNEL_LAST - CHANNEL_FIRST)
        return;
    m_nChannelSel = nIndex;
    if (WriteSettingInt(SETTINGS_INDEX, "Channel", nIndex + CHANNEL_FIRST) != 1)
        LogWriteFailure("Channel");
}

void CCaptureModel::OnRefreshDevices()
{
    FillDeviceList();
    OnDeviceChosen(m_nDeviceSel);
}
