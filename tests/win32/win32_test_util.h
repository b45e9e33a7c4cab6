// Small helpers shared by the Win32 layer tests: scratch folders, whole files,
// waiting for a file to appear.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Lean: <winspool.h> would turn CUartPort::SetPort into SetPortA.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace qmtest {

constexpr DWORD FILE_WAIT_POLL_MS = 10;

// A folder under %TEMP% that did not exist before (Wine reuses process ids,
// so a name alone could find an older run's files); removed by nobody.
inline std::string MakeScratchDir(const char* pszTag)
{
    static int s_nCounter = 0;
    char szTemp[MAX_PATH];
    GetTempPathA(MAX_PATH, szTemp);
    for (;;) {
        const std::string strDir = std::string(szTemp) + "qm-" + pszTag + "-"
            + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++s_nCounter);
        if (CreateDirectoryA(strDir.c_str(), nullptr))
            return strDir;
    }
}

inline bool ReadWholeFile(const std::string& strPath, std::string& strOut)
{
    FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr)
        return false;
    strOut.clear();
    char abyChunk[4096];
    size_t nGot = 0;
    while ((nGot = std::fread(abyChunk, 1, sizeof(abyChunk), pFile)) > 0)
        strOut.append(abyChunk, nGot);
    std::fclose(pFile);
    return true;
}

inline bool WriteWholeFile(const std::string& strPath, const std::string& strText)
{
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr)
        return false;
    const bool bOk = std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size();
    return std::fclose(pFile) == 0 && bOk;
}

inline bool WaitForFile(const std::string& strPath, DWORD dwTimeoutMs)
{
    for (DWORD dwWaited = 0; dwWaited <= dwTimeoutMs; dwWaited += FILE_WAIT_POLL_MS) {
        if (GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(FILE_WAIT_POLL_MS);
    }
    return false;
}

inline std::string ExeDirectory()
{
    char szExe[MAX_PATH];
    const DWORD dwLen = GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string strExe(szExe, dwLen);
    return strExe.substr(0, strExe.rfind('\\'));
}

// The stand-in Wireshark, built beside the tests.
inline std::string ReaderExe()
{
    return ExeDirectory() + "\\qm_pipe_reader.exe";
}

} // namespace qmtest
