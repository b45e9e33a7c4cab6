// Binds the Win32 face to the model: every user action is one model call, as
// the Qt face does it. The model's log, status and pipe events reach the face
// through ICaptureView; its own windows are hidden HWNDs on this thread, so
// the dialog's modal loops deliver their messages.
#include "shell/win32/capture_app.h"

#include "shell/win32/capture_dlg.h"
#include "shell/model/capture_model.h"
#include "devices/device_source.h"
#include "devices/device_watch.h"

namespace {

class CCaptureAppWin32 : public ICaptureDlgEvents {
public:
    explicit CCaptureAppWin32(void* hInstance) : m_dlg(hInstance), m_model(m_dlg, m_devices)
    {
        m_dlg.SetEvents(this);
        m_model.SetDeviceWatch(&m_watch);
        m_model.AttachLog();
    }

    int32_t Run() { return m_dlg.DoModal(); }

    void OnInitDialog() override { m_model.OnInitDialog(); }
    void OnStart() override { m_model.OnStart(); }
    void OnStop() override { m_model.OnStop(); }
    void OnExit() override { m_model.OnExit(); }
    void OnCancel() override { m_model.OnCancel(); }
    void OnBrowse() override { m_model.OnBrowse(); }
    void OnRefreshDevices() override { m_model.OnRefreshDevices(); }
    void OnDevicesChanged() override { m_model.OnDevicesChanged(); }
    void OnDeviceChosen(int32_t nIndex) override { m_model.OnDeviceChosen(nIndex); }
    void OnChannelChosen(int32_t nIndex) override { m_model.OnChannelChosen(nIndex); }
    void OnPathTyped(const std::string& strPath) override { m_model.OnPathTyped(strPath); }
    void OnModeChosen(ECaptureMode eMode) override { m_model.OnModeChosen(eMode); }
    void OnSysCommand(uint32_t nID) override { m_model.OnSysCommand(nID); }
    void OnScan() override { m_model.OnScan(); }
    void OnTakeChannel(int32_t nChannel) override { m_model.OnTakeChannel(nChannel); }

private:
    // In this order: the model goes first, while the face it shows on is alive.
    CSystemDeviceSource m_devices;
    CDeviceWatch m_watch;
    CCaptureDlgWin32 m_dlg;
    CCaptureModel m_model;
};

} // namespace

int32_t RunCaptureApp(void* hInstance)
{
    CCaptureAppWin32 app(hInstance);
    return app.Run();
}
