// The console's control handler: Windows calls it on a thread it makes for
// each event. One watcher at a time owns the handler.
#include "engine/stop_signals.h"

#include <windows.h>

#include <mutex>

namespace {

std::mutex s_mtxWatcher;
CStopSignals* s_pWatcher = nullptr;
std::function<void(int32_t)>* s_pfnStop = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD dwType)
{
    std::lock_guard<std::mutex> lock(s_mtxWatcher);
    if (s_pfnStop == nullptr || !*s_pfnStop)
        return FALSE;   // the default action: the process ends
    (*s_pfnStop)(static_cast<int32_t>(dwType));
    return TRUE;
}

} // namespace

CStopSignals::CStopSignals() : m_bQuit(false), m_dwBlockedByUs(0), m_bWatching(false)
{
}

CStopSignals::~CStopSignals()
{
    if (!m_bWatching)
        return;
    SetConsoleCtrlHandler(&OnConsoleCtrl, FALSE);
    std::lock_guard<std::mutex> lock(s_mtxWatcher);
    if (s_pWatcher == this) {
        s_pWatcher = nullptr;
        s_pfnStop = nullptr;
    }
}

bool CStopSignals::Watch(std::function<void(int32_t)> fnStop)
{
    {
        std::lock_guard<std::mutex> lock(s_mtxWatcher);
        if (m_bWatching || s_pWatcher != nullptr)
            return false;
        m_fnStop = std::move(fnStop);
        s_pWatcher = this;
        s_pfnStop = &m_fnStop;
    }
    if (!SetConsoleCtrlHandler(&OnConsoleCtrl, TRUE)) {
        std::lock_guard<std::mutex> lock(s_mtxWatcher);
        s_pWatcher = nullptr;
        s_pfnStop = nullptr;
        return false;
    }
    m_bWatching = true;
    return true;
}
