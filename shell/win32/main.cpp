// Quillmark for Windows: one instance at a time (the pipe to Wireshark has a
// single instance too), the common controls, then the modal dialog; the
// program ends with it.
#include "res/resource_win32.h"
#include "shell/win32/capture_app.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

namespace {

constexpr char SINGLE_INSTANCE_MUTEX[] = "Local\\Quillmark.SingleInstance";
constexpr char DIALOG_CLASS[] = "#32770";

// The running instance comes to the front instead of a second dialog.
void ActivateRunningInstance()
{
    HWND hWnd = FindWindowA(DIALOG_CLASS, QM_MAIN_CAPTION);
    if (hWnd == nullptr)
        return;
    if (IsIconic(hWnd))
        ShowWindow(hWnd, SW_RESTORE);
    SetForegroundWindow(hWnd);
}

} // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, SINGLE_INSTANCE_MUTEX);
    if (hMutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        ActivateRunningInstance();
        CloseHandle(hMutex);
        return 0;
    }
    INITCOMMONCONTROLSEX icc = { sizeof(icc), ICC_STANDARD_CLASSES };
    InitCommonControlsEx(&icc);
    const int32_t nResult = RunCaptureApp(hInstance);
    if (hMutex != nullptr)
        CloseHandle(hMutex);
    return nResult < 0 ? 1 : 0;
}
