// The Windows program's dialog run: the capture model behind the Win32 face,
// with the system's device discovery. Plain types only, so that WinMain's
// file (which needs <windows.h>) can call it.
#pragma once

#include <cstdint>

// Runs the dialog modally; returns CAPTURE_DLG_* (capture_dlg_win32.h).
int32_t RunCaptureApp(void* hInstance);
