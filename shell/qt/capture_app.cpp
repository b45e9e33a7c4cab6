#include "shell/qt/capture_app.h"

#include "shell/qt/capture_dlg.h"
#include "shell/qt/exit_signals.h"

CCaptureApp g_theApp;

CCaptureApp* GetCaptureApp()
{
    return &g_theApp;
}

CCaptureApp::CCaptureApp()
    : m_pMainWnd(nullptr)
{
}

CCaptureApp::~CCaptureApp() = default;

bool CCaptureApp::InitInstance()
{
    CCaptureDlg dlg;
    m_pMainWnd = &dlg;
    dlg.m_model.AttachLog();
    // Ended from outside (SIGINT, SIGTERM, SIGHUP), the program leaves as
    // Exit leaves it: the dongle gets its stop command.
    CExitSignals exitSignals;
    exitSignals.Install([&dlg](int32_t nSignal) { dlg.OnExitSignal(nSignal); });
    dlg.DoModal();
    exitSignals.Uninstall();
    m_pMainWnd = nullptr;
    return false;
}
