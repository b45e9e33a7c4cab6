#include "tests/win32/msg_pump_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

constexpr DWORD PUMP_SLICE_MS = 5;

void DispatchReady()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

} // namespace

void PumpMessagesFor(uint32_t nMs)
{
    const ULONGLONG qwEnd = GetTickCount64() + nMs;
    for (;;) {
        DispatchReady();
        const ULONGLONG qwNow = GetTickCount64();
        if (qwNow >= qwEnd)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(qwEnd - qwNow), QS_ALLINPUT);
    }
}

bool PumpUntil(const bool* pbDone, uint32_t nMs)
{
    for (uint32_t nWaited = 0; !*pbDone && nWaited < nMs; nWaited += PUMP_SLICE_MS)
        PumpMessagesFor(PUMP_SLICE_MS);
    return *pbDone;
}

uint32_t CurrentThreadId()
{
    return GetCurrentThreadId();
}
