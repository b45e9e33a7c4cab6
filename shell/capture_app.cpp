#include "shell/capture_app.h"

#include "shell/capture_dlg.h"

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
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
