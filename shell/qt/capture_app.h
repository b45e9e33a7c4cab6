// The application object: one for the whole run. InitInstance runs the main
// dialog modally and ends the program when it closes; while the dialog lives
// it is the main window, and its model is the log's target.
#pragma once

class CMsgTarget;

class CCaptureApp {
public:
    CCaptureApp();
    virtual ~CCaptureApp();
    CCaptureApp(const CCaptureApp&) = delete;
    CCaptureApp& operator=(const CCaptureApp&) = delete;

    // Needs the Qt application object. Returns false: the program ends with
    // the dialog.
    virtual bool InitInstance();

    CMsgTarget* m_pMainWnd;   // the main dialog while it runs, else null
};

CCaptureApp* GetCaptureApp();
