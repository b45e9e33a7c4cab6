// The toolbar's named pipes: Wireshark made both before it started us and
// waits for us to connect, so CreateFile finds them at once. Overlapped I/O
// bounds every wait; a wake-up event ends a read that waits.
#include "shell/extcap/extcap_control_pipe.h"

#include <windows.h>

namespace {

class CControlPipesWin32 : public IControlPipes {
public:
    CControlPipesWin32()
        : m_hWake(CreateEventA(nullptr, TRUE, FALSE, nullptr)), m_hReadDone(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_hWriteDone(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~CControlPipesWin32() override
    {
        for (HANDLE h : { m_hIn, m_hOut })
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        for (HANDLE h : { m_hWake, m_hReadDone, m_hWriteDone })
            if (h != nullptr)
                CloseHandle(h);
    }
    CControlPipesWin32(const CControlPipesWin32&) = delete;
    CControlPipesWin32& operator=(const CControlPipesWin32&) = delete;

    EControlOpen OpenIn(const std::string& strPath) override
    {
        return Open(strPath, GENERIC_READ, m_hIn);
    }

    EControlRead Read(uint8_t* pBuf, size_t cbBuf, size_t& cbRead, uint32_t dwWaitMs) override
    {
        cbRead = 0;
        if (m_hIn == INVALID_HANDLE_VALUE || m_hReadDone == nullptr || m_hWake == nullptr)
            return EControlRead::Failed;
        if (WaitForSingleObject(m_hWake, 0) == WAIT_OBJECT_0)
            return EControlRead::Idle;
        OVERLAPPED ov = {};
        ov.hEvent = m_hReadDone;
        ResetEvent(m_hReadDone);
        DWORD dwGot = 0;
        if (!ReadFile(m_hIn, pBuf, static_cast<DWORD>(cbBuf), &dwGot, &ov) && GetLastError() != ERROR_IO_PENDING)
            return ReadError(GetLastError());
        const HANDLE ahWait[2] = { m_hReadDone, m_hWake };
        if (WaitForMultipleObjects(2, ahWait, FALSE, dwWaitMs) != WAIT_OBJECT_0)
            CancelIoEx(m_hIn, &ov);
        // Bytes that came while the read was being cancelled are kept.
        if (!GetOverlappedResult(m_hIn, &ov, &dwGot, TRUE) && GetLastError() != ERROR_MORE_DATA)
            return GetLastError() == ERROR_OPERATION_ABORTED ? EControlRead::Idle : ReadError(GetLastError());
        cbRead = dwGot;
        return dwGot > 0 ? EControlRead::Data : EControlRead::Idle;
    }

    void Wake() override
    {
        if (m_hWake != nullptr)
            SetEvent(m_hWake);
    }

    EControlOpen TryOpenOut(const std::string& strPath) override
    {
        if (m_hOut != INVALID_HANDLE_VALUE)
            return EControlOpen::Open;
        return Open(strPath, GENERIC_WRITE, m_hOut);
    }

    bool Write(const std::string& strBytes, uint32_t dwWaitMs) override
    {
        if (m_hOut == INVALID_HANDLE_VALUE || m_hWriteDone == nullptr)
            return false;
        OVERLAPPED ov = {};
        ov.hEvent = m_hWriteDone;
        ResetEvent(m_hWriteDone);
        DWORD dwPut = 0;
        if (!WriteFile(m_hOut, strBytes.data(), static_cast<DWORD>(strBytes.size()), &dwPut, &ov)
            && GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(m_hWriteDone, dwWaitMs) != WAIT_OBJECT_0)
            CancelIoEx(m_hOut, &ov);
        return GetOverlappedResult(m_hOut, &ov, &dwPut, TRUE) && dwPut == strBytes.size();
    }

private:
    static EControlOpen Open(const std::string& strPath, DWORD dwAccess, HANDLE& hOut)
    {
        hOut = CreateFileA(strPath.c_str(), dwAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (hOut != INVALID_HANDLE_VALUE) {
            if (GetFileType(hOut) == FILE_TYPE_PIPE)
                return EControlOpen::Open;
            CloseHandle(hOut);
            hOut = INVALID_HANDLE_VALUE;
            return EControlOpen::Failed;
        }
        // Busy: the instance is not free yet.
        return GetLastError() == ERROR_PIPE_BUSY ? EControlOpen::NotYet : EControlOpen::Failed;
    }
    static EControlRead ReadError(DWORD dwError)
    {
        return (dwError == ERROR_BROKEN_PIPE || dwError == ERROR_PIPE_NOT_CONNECTED) ? EControlRead::End
                                                                                     : EControlRead::Failed;
    }

    HANDLE m_hIn = INVALID_HANDLE_VALUE;
    HANDLE m_hOut = INVALID_HANDLE_VALUE;
    HANDLE m_hWake;
    HANDLE m_hReadDone;
    HANDLE m_hWriteDone;
};

} // namespace

std::unique_ptr<IControlPipes> CreateControlPipes()
{
    return std::make_unique<CControlPipesWin32>();
}
