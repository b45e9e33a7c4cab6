// qm-capture-bench: the dialog's wiring. The dialog's own model (the handlers
// of Start and Stop, the Rx label's timer, the log) drives the capture engine
// on Qt's event loop, as the Qt dialog does; its view shows nothing but keeps
// the log, and its device list holds the benchmark's dongle. Settings live in
// the benchmark's private directory (its ports directory beside them).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bench/capture_bench_wiring.h"
#include "shell/model/capture_model.h"

class CBenchView : public ICaptureView {
public:
    void ShowDevices(const std::vector<CDeviceItem>&, int32_t) override {}
    void ShowChannel(int32_t) override {}
    void ShowPath(const std::string&) override {}
    void ShowRx(const std::string& strText) override { m_strRx = strText; }
    void SetRunning(bool) override {}
    int32_t CountLogLines() const override { return m_nLines; }
    void AppendLog(const std::string& strText) override;
    void ReplaceLog(const std::string& strText) override;
    bool ChooseProgramFile(std::string&) override { return false; }
    void ShowAbout() override {}
    void EndDialog(ECaptureEnd) override {}

    const std::string& Log() const { return m_strLog; }

private:
    std::string m_strLog;
    std::string m_strRx;
    int32_t m_nLines = 1;
};

class CBenchDevices : public IDeviceSource {
public:
    explicit CBenchDevices(int32_t nPort) : m_nPort(nPort) {}
    bool EnumeratePresentPorts(std::vector<CDeviceItem>& vecItems) override;

private:
    int32_t m_nPort;
};

class CBenchDialog : public IBenchWiring {
public:
    // strDir: the settings directory (its "ports" the ports directory).
    // The Qt application object must exist.
    CBenchDialog(const std::string& strDir, int32_t nPort);

    bool Start(const char* pszReader, int32_t nPort, int32_t nChannel, std::string* pstrError) override;
    void Stop() override;
    bool WaitStopped(int32_t nTimeoutMs) override;
    uint64_t RecordsDone() const override;
    CRfCounters GetCounters() const override { return m_pModel->GetEngine().GetCounters(); }
    CPcapPipeStats GetPipeStats() const override { return m_pModel->GetEngine().GetPipeStats(); }
    CUartPort* GetPort() const override { return m_pModel->GetEngine().GetPort(); }
    // How long records may wait to share a write (the engine's own unless set).
    void SetFlushHoldUs(uint32_t dwHoldUs) { m_pModel->GetEngine().SetFlushHoldUs(dwHoldUs); }

private:
    CBenchView m_view;
    CBenchDevices m_devices;
    std::unique_ptr<CCaptureModel> m_pModel;
    size_t m_nLogAtStop = 0;
    CPcapPipeStats m_statsAtStart = {};
};
