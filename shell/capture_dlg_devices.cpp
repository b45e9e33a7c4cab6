// The device and channel boxes: discovery, preselection from the settings and
// the writes of the user's choices.
#include "shell/capture_dlg.h"

#include "shell/device_discovery.h"
#include "base/settings.h"

#include <QComboBox>

#include <string>
#include <vector>

void CCaptureDlg::AddDeviceItem(const QString& strName, int32_t nPort)
{
    // The box is sorted by text, case-insensitively; equal texts keep their
    // discovery order. Each item's data (the port number) travels with it.
    int nAt = 0;
    const int nCount = m_comboDevice->count();
    while (nAt < nCount
        && QString::compare(m_comboDevice->itemText(nAt), strName, Qt::CaseInsensitive) <= 0)
        ++nAt;
    m_comboDevice->insertItem(nAt, strName, QVariant(static_cast<int>(nPort)));
}

void CCaptureDlg::FillDeviceList()
{
    m_comboDevice->clear();
    std::vector<std::string> vecNames;
    EnumeratePresentPorts(vecNames);
    for (const std::string& strName : vecNames) {
        int32_t nPort = PortNumberFromFriendlyName(strName.c_str());
        if (nPort != 0)
            AddDeviceItem(QString::fromUtf8(strName.c_str()), nPort);
    }
    // Adding the first item selects it; only the stored port may be selected.
    m_comboDevice->setCurrentIndex(-1);
    if (m_comboDevice->count() > 0) {
        int32_t nStored = ReadSettingInt(SETTINGS_INDEX, "ComPort", 1);
        for (int i = 0; i < m_comboDevice->count(); ++i) {
            if (m_comboDevice->itemData(i).toInt() == nStored) {
                m_comboDevice->setCurrentIndex(i);
                break;
            }
        }
    }
    UpdateData(false);
}

void CCaptureDlg::SelectStoredChannel()
{
    int32_t nChannel = ReadSettingInt(SETTINGS_INDEX, "Channel", CHANNEL_FIRST);
    int nIndex = (nChannel >= CHANNEL_FIRST && nChannel <= CHANNEL_LAST) ? nChannel - CHANNEL_FIRST : 0;
    m_comboChannel->setCurrentIndex(nIndex);
    UpdateData(false);
}

void CCaptureDlg::OnSelChangeDevice()
{
    int nIndex = m_comboDevice->currentIndex();
    if (nIndex < 0)
        return;
    if (WriteSettingInt(SETTINGS_INDEX, "ComPort", m_comboDevice->itemData(nIndex).toInt()) != 1)
        LogWriteFailure("ComPort");
}

void CCaptureDlg::OnSelChangeChannel()
{
    int nIndex = m_comboChannel->currentIndex();
    if (nIndex < 0)
        return;
    if (WriteSettingInt(SETTINGS_INDEX, "Channel", nIndex + CHANNEL_FIRST) != 1)
        LogWriteFailure("Channel");
}

void CCaptureDlg::OnRefreshDevices()
{
    FillDeviceList();
    OnSelChangeDevice();
}
