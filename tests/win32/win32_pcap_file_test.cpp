// CPcapFile on a named pipe whose reader reads nothing more: Abort from
// another thread ends the blocked write, the sink is not broken, and the
// reader holds whole records only, in order. FileTruncate cuts disk files
// only. A file open takes only a disk file, a pipe open only a pipe.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pcap/file_api.h"
#include "pcap/pcap_file.h"

namespace {

constexpr int32_t RECORDS = 400;       // many times what the pipe holds
constexpr int32_t RECORD_LEN = 100;
constexpr DWORD PIPE_BUFFER = 4096;
constexpr int32_t WAIT_MS = 10000;

std::vector<uint8_t> Payload(int32_t nSeed)
{
    std::vector<uint8_t> by(RECORD_LEN);
    for (size_t i = 0; i < by.size(); ++i)
        by[i] = static_cast<uint8_t>(nSeed * 7 + static_cast<int32_t>(i));
    return by;
}

uint32_t GetU32(const std::string& str, size_t nAt)
{
    uint32_t dw = 0;
    for (int i = 3; i >= 0; --i)
        dw = (dw << 8) | static_cast<uint8_t>(str[nAt + static_cast<size_t>(i)]);
    return dw;
}

DWORD Available(HANDLE hPipe)
{
    DWORD dw = 0;
    return PeekNamedPipe(hPipe, nullptr, 0, nullptr, &dw, nullptr) ? dw : 0;
}

} // namespace

TEST(Win32PcapFile, AbortEndsAWriteIntoAPipeNobodyReads)
{
    const std::string strName = "\\\\.\\pipe\\qm-pcap-file-" + std::to_string(GetCurrentProcessId());
    const HANDLE hServer = CreateNamedPipeA(strName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
        PIPE_BUFFER, PIPE_BUFFER, 0, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    CPcapFile file;
    ASSERT_TRUE(file.Open(strName, EPcapFileOpen::Existing));
    for (int32_t i = 0; i < RECORDS; ++i)
        file.AddRecord(Payload(i).data(), RECORD_LEN, CPcapTime{1700000000u, static_cast<uint32_t>(i)});
    std::atomic<bool> bFlushed(false);
    std::thread writer([&file, &bFlushed] {
        file.FlushRecords();
        bFlushed.store(true);
    });
    for (int32_t nWaited = 0; Available(hServer) < PIPE_BUFFER && nWaited < WAIT_MS; nWaited += 2)
        Sleep(2);
    EXPECT_FALSE(bFlushed.load());
    file.Abort();
    writer.join();

    const CPcapFileStats stats = file.GetStats();
    EXPECT_FALSE(file.IsBroken());
    EXPECT_GT(stats.m_qwRecordsWritten, 0u);
    EXPECT_GT(stats.m_qwRecordsDropped, 0u);
    EXPECT_EQ(stats.m_qwRecordsWritten + stats.m_qwRecordsDropped, static_cast<uint64_t>(RECORDS));
    EXPECT_TRUE(file.Close());

    std::string strRead;
    for (DWORD dwAvail = Available(hServer); dwAvail > 0; dwAvail = Available(hServer)) {
        std::string strPart(dwAvail, '\0');
        DWORD dwGot = 0;
        ASSERT_TRUE(ReadFile(hServer, strPart.data(), dwAvail, &dwGot, nullptr));
        strRead.append(strPart, 0, dwGot);
    }
    CloseHandle(hServer);
    ASSERT_GE(strRead.size(), static_cast<size_t>(PCAP_GLOBAL_HEADER_LEN));
    size_t nAt = PCAP_GLOBAL_HEADER_LEN;
    int32_t nRecords = 0;
    while (nAt + PCAP_RECORD_HEADER_LEN <= strRead.size()) {
        const uint32_t dwLen = GetU32(strRead, nAt + 8);
        ASSERT_EQ(dwLen, static_cast<uint32_t>(RECORD_LEN)) << "record " << nRecords;
        ASSERT_LE(nAt + PCAP_RECORD_HEADER_LEN + dwLen, strRead.size()) << "record " << nRecords << " cut short";
        const std::vector<uint8_t> payload = Payload(nRecords);
        EXPECT_EQ(std::memcmp(strRead.data() + nAt + PCAP_RECORD_HEADER_LEN, payload.data(), dwLen), 0);
        nAt += PCAP_RECORD_HEADER_LEN + dwLen;
        ++nRecords;
    }
    EXPECT_EQ(nAt, strRead.size());
    EXPECT_EQ(static_cast<uint64_t>(nRecords), stats.m_qwRecordsWritten);
}

// The pipe's server (Wireshark) closes while nothing is written: the sink
// sees it without a write, as a write would have found it.
TEST(Win32PcapFile, ServerGoneIsSeenWithoutAWrite)
{
    const std::string strName = "\\\\.\\pipe\\qm-pcap-gone-" + std::to_string(GetCurrentProcessId());
    const HANDLE hServer = CreateNamedPipeA(strName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
        PIPE_BUFFER, PIPE_BUFFER, 0, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    CPcapFile file;
    ASSERT_TRUE(file.Open(strName, EPcapFileOpen::Existing));
    char byHeader[PCAP_GLOBAL_HEADER_LEN] = {};
    DWORD dwGot = 0;
    ASSERT_TRUE(ReadFile(hServer, byHeader, sizeof byHeader, &dwGot, nullptr));
    EXPECT_EQ(dwGot, static_cast<DWORD>(PCAP_GLOBAL_HEADER_LEN));
    EXPECT_FALSE(file.CheckReaderGone());
    CloseHandle(hServer);
    EXPECT_TRUE(file.CheckReaderGone());
    EXPECT_TRUE(file.IsBroken());
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::Gone);
    EXPECT_FALSE(file.Close());
}

// The cut a failed write relies on: a disk file is cut back and written on
// at its new end (no hole, no old tail); a named pipe is left as it is.
TEST(Win32PcapFile, TruncateCutsADiskFileAndLeavesAPipeAlone)
{
    char szDir[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(MAX_PATH, szDir), 0u);
    const std::string strPath = std::string(szDir) + "qm-truncate-" + std::to_string(GetCurrentProcessId()) + ".bin";
    COsError err;
    const QM_FILE hFile = FileOpenForWrite(strPath, EFileOpen::Replace, INVALID_QM_FILE_WAKE, &err);
    ASSERT_NE(hFile, INVALID_QM_FILE) << err.m_strText;
    const std::vector<uint8_t> by = Payload(1);
    size_t nDone = 0;
    ASSERT_TRUE(FileWriteAll(hFile, by.data(), by.size(), INVALID_QM_FILE_WAKE, &nDone, &err));
    EXPECT_TRUE(FileTruncate(hFile, 40, &err)) << err.m_strText;
    ASSERT_TRUE(FileWriteAll(hFile, by.data(), 10, INVALID_QM_FILE_WAKE, &nDone, &err));
    EXPECT_TRUE(FileClose(hFile, &err));
    WIN32_FILE_ATTRIBUTE_DATA attr = {};
    ASSERT_TRUE(GetFileAttributesExA(strPath.c_str(), GetFileExInfoStandard, &attr));
    EXPECT_EQ(attr.nFileSizeLow, 50u);
    EXPECT_EQ(attr.nFileSizeHigh, 0u);
    DeleteFileA(strPath.c_str());

    const std::string strName = "\\\\.\\pipe\\qm-pcap-cut-" + std::to_string(GetCurrentProcessId());
    const HANDLE hServer = CreateNamedPipeA(strName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
        PIPE_BUFFER, PIPE_BUFFER, 0, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    const QM_FILE hPipe = FileOpenForWrite(strName, EFileOpen::Existing, INVALID_QM_FILE_WAKE, &err);
    ASSERT_NE(hPipe, INVALID_QM_FILE) << err.m_strText;
    ASSERT_TRUE(FileWriteAll(hPipe, by.data(), 20, INVALID_QM_FILE_WAKE, &nDone, &err));
    EXPECT_FALSE(FileTruncate(hPipe, 0, &err));
    EXPECT_EQ(err.m_eKind, EOsError::WrongKind);
    EXPECT_EQ(Available(hServer), 20u);
    EXPECT_TRUE(FileClose(hPipe, &err));
    CloseHandle(hServer);
}

// What is opened: a named pipe or a device named as a capture file is
// refused (CreateNew, Replace) with nothing written into it; a disk file
// named where a pipe was expected (Existing) is refused and left as it was.
TEST(Win32PcapFile, OnlyDiskFilesAreFilesAndOnlyPipesArePipes)
{
    const std::string strName = "\\\\.\\pipe\\qm-pcap-kind-" + std::to_string(GetCurrentProcessId());
    const HANDLE hServer = CreateNamedPipeA(strName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
        PIPE_BUFFER, PIPE_BUFFER, 0, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    for (EPcapFileOpen eHow : { EPcapFileOpen::CreateNew, EPcapFileOpen::Replace }) {
        for (const std::string& strPath : { strName, std::string("NUL") }) {
            CPcapFile file;
            EXPECT_FALSE(file.Open(strPath, eHow)) << strPath;
            EXPECT_EQ(file.GetLastError().m_eKind, EOsError::WrongKind) << strPath;
            EXPECT_EQ(file.GetLastError().m_strText.rfind("not a regular file (", 0), 0u)
                << strPath << ": " << file.GetLastError().m_strText;
        }
    }
    EXPECT_EQ(Available(hServer), 0u);
    CloseHandle(hServer);

    char szDir[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(MAX_PATH, szDir), 0u);
    const std::string strPath = std::string(szDir) + "qm-kind-" + std::to_string(GetCurrentProcessId()) + ".txt";
    const std::string strBytes = "precious bytes\r\n";
    const HANDLE hFile = CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
        nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    DWORD dwDone = 0;
    ASSERT_TRUE(WriteFile(hFile, strBytes.data(), static_cast<DWORD>(strBytes.size()), &dwDone, nullptr));
    CloseHandle(hFile);
    CPcapFile file;
    EXPECT_FALSE(file.Open(strPath, EPcapFileOpen::Existing));
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::WrongKind);
    EXPECT_EQ(file.GetLastError().m_strText, "not a named pipe (a disk file)");
    const HANDLE hRead = CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hRead, INVALID_HANDLE_VALUE);
    char szRead[64] = {};
    DWORD dwRead = 0;
    EXPECT_TRUE(ReadFile(hRead, szRead, sizeof szRead, &dwRead, nullptr));
    CloseHandle(hRead);
    EXPECT_EQ(std::string(szRead, dwRead), strBytes);
    DeleteFileA(strPath.c_str());
}
