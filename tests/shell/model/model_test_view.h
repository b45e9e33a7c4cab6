// The model's tests without a toolkit: a view that records what the model
// shows, a device list of the test's own, and a model whose settings live in
// a private directory (real INI files), turned by the portable window loop.
#pragma once

#include "base/settings.h"
#include "devices/device_discovery.h"
#include "link/msg_loop.h"
#include "shell/model/activity_log.h"
#include "shell/model/capture_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/temp_dir_posix.h"

class CFakeView : public ICaptureView {
public:
    void ShowDevices(const std::vector<CDeviceItem>& vecItems, int32_t nSelected) override
    {
        m_vecDevices = vecItems;
        m_nDeviceSel = nSelected;
        ++m_nDeviceShows;
    }
    void ShowChannel(int32_t nIndex) override { m_nChannel = nIndex; }
    void ShowPath(const std::string& strPath) override { m_strPath = strPath; }
    void ShowRx(const std::string& strText) override
    {
        if (strText != m_strRx)
            ++m_nRxChanges;
        m_strRx = strText;
    }
    void SetRunning(bool bRunning) override { m_bRunning = bRunning; }
    // As an edit box counts: one line more than it has line feeds.
    int32_t CountLogLines() const override
    {
        int32_t nLines = 1;
        for (char ch : m_strLog)
            nLines += ch == '\n' ? 1 : 0;
        return nLines;
    }
    void AppendLog(const std::string& strText) override
    {
        m_strLog += strText;
        ++m_nAppends;
    }
    void ReplaceLog(const std::string& strText) override
    {
        m_strLog = strText;
        ++m_nReplaces;
    }
    bool ChooseProgramFile(std::string& strPath) override
    {
        ++m_nChooserRuns;
        strPath = m_strChoice;
        return !m_strChoice.empty();
    }
    void ShowAbout() override { ++m_nAboutShows; }
    void EndDialog(ECaptureEnd eHow) override { m_vecEnds.push_back(eHow); }
    void ShowMode(ECaptureMode eMode, const std::string& strPathLabel) override
    {
        m_eMode = eMode;
        m_strPathLabel = strPathLabel;
    }
    bool ChooseSaveFile(std::string& strPath) override
    {
        ++m_nSaveChooserRuns;
        strPath = m_strSaveChoice;
        return !m_strSaveChoice.empty();
    }
    bool ConfirmOverwrite(const std::string& strPath) override
    {
        m_vecAskedToReplace.push_back(strPath);
        return m_bReplaceAnswer;
    }
    void ShowSurvey(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow, bool bRunning) override
    {
        m_vecSurvey = vecChannels;
        m_vecSurveyNow.push_back(nChannelNow);
        m_bSurveyRunning = bRunning;
        ++m_nSurveyShows;
    }
    void ShowRetuning(bool bRetuning) override { m_vecRetuning.push_back(bRetuning); }

    // The log's messages without their "hh:mm:ss  " prefix.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> vecOut;
        std::istringstream in(m_strLog);
        std::string strLine;
        while (std::getline(in, strLine))
            vecOut.push_back(strLine.size() >= LOG_PREFIX_LEN ? strLine.substr(LOG_PREFIX_LEN) : strLine);
        return vecOut;
    }
    bool Logged(const std::string& strPart) const { return m_strLog.find(strPart) != std::string::npos; }

    std::vector<CDeviceItem> m_vecDevices;
    int32_t m_nDeviceSel = -2;   // -2: never shown
    int32_t m_nDeviceShows = 0;
    int32_t m_nChannel = -1;
    std::string m_strPath = "(never shown)";
    std::string m_strRx = "(never shown)";
    int32_t m_nRxChanges = 0;
    bool m_bRunning = false;
    std::string m_strLog;
    int32_t m_nAppends = 0;
    int32_t m_nReplaces = 0;
    std::string m_strChoice;     // what the file chooser answers; "" = cancelled
    int32_t m_nChooserRuns = 0;
    int32_t m_nAboutShows = 0;
    std::vector<ECaptureEnd> m_vecEnds;
    ECaptureMode m_eMode = ECaptureMode::PcapFile;   // the opposite of the start-up default until shown
    std::string m_strPathLabel = "(never shown)";
    std::string m_strSaveChoice;  // what the save dialog answers; "" = cancelled
    int32_t m_nSaveChooserRuns = 0;
    bool m_bReplaceAnswer = false;
    std::vector<std::string> m_vecAskedToReplace;
    std::vector<CSurveyChannel> m_vecSurvey;   // as last shown
    std::vector<int32_t> m_vecSurveyNow;       // the channel listened to, each time shown
    bool m_bSurveyRunning = false;
    int32_t m_nSurveyShows = 0;
    std::vector<bool> m_vecRetuning;           // each change of the box's busy state
};

// The test's own device list: m_vecItems as discovery gives them (name and
// port apart), then m_vecNames, names that end the way discovery's own do,
// "(COMn)", taken as the item of port n (0 without one).
class CListDevices : public IDeviceSource {
public:
    bool EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems) override
    {
        vecItems = m_vecItems;
        for (const std::string& strName : m_vecNames)
            vecItems.push_back(CDeviceItem { strName, PortNumberFromFriendlyName(strName.c_str()) });
        return true;
    }
    std::vector<CDeviceItem> m_vecItems;
    std::vector<std::string> m_vecNames;
};

// Each test gets its own settings directory and runtime directory.
class CModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        m_strRuntime = m_dir / "runtime";
        ASSERT_TRUE(std::system(("mkdir -p -m 700 '" + m_strRuntime + "'").c_str()) == 0);
        setenv("XDG_RUNTIME_DIR", m_strRuntime.c_str(), 1);
        InitSettingsPathFor(m_dir.Path().c_str());
    }
    void TearDown() override { m_pModel.reset(); }

    std::string IniPath() const { return m_dir / "Quillmark.ini"; }
    std::string PortsDir() const { return m_dir / "ports"; }
    std::string ReadIni() const
    {
        std::ifstream in(IniPath(), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    void WriteSetting(const char* pszKey, int32_t nValue)
    {
        ASSERT_EQ(WriteSettingInt(SETTINGS_INDEX, pszKey, nValue), 1);
    }
    // The model with the test's settings path, started up, its log attached.
    CCaptureModel& Model()
    {
        if (!m_pModel) {
            m_pModel = std::make_unique<CCaptureModel>(m_view, m_devices);
            const std::string strDir = m_dir.Path();
            m_pModel->SetSettingsPathSource([strDir] { InitSettingsPathFor(strDir.c_str()); });
            m_pModel->AttachLog();
            m_pModel->OnInitDialog();
        }
        return *m_pModel;
    }
    // Turns the window loop until fnDone holds or nMs have passed.
    static bool RunUntil(const std::function<bool()>& fnDone, int32_t nMs)
    {
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        while (!fnDone()) {
            if (std::chrono::steady_clock::now() >= tEnd)
                return false;
            MsgLoopRunFor(10);
        }
        return true;
    }

    CTestTempDir m_dir { "qm-model" };
    std::string m_strRuntime;
    CFakeView m_view;
    CListDevices m_devices;
    std::unique_ptr<CCaptureModel> m_pModel;
};
