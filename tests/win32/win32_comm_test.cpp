// The Win32 comm layer and CUartPort on it, against a real COM port: Wine's
// COM<QM_TEST_COM> is a pty served by tests/win32/pty_port.py on the Linux
// side (ECHO, BULK, HANGUP). The hang-up test ends the helper: it runs last.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm_api.h"
#include "serial/uart_port.h"
#include "win32_test_util.h"

namespace {

constexpr DWORD ANSWER_MS = 3000;
constexpr DWORD BULK_MS = 10000;
constexpr uint32_t BULK_BYTES = 200000;
constexpr uint32_t BULK_PATTERN_MOD = 251;
constexpr int32_t MISSING_PORT = 250;
constexpr uint32_t LINE_BAUD = 1000000;

int32_t TestPort()
{
    const char* psz = std::getenv("QM_TEST_COM");
    return psz != nullptr ? std::atoi(psz) : 0;
}

std::string PortName()
{
    return "\\\\.\\COM" + std::to_string(TestPort());
}

COMM_DCB LineSettings(uint32_t dwLineControl)
{
    COMM_DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = LINE_BAUD;
    dcb.fBinary = 1;
    dcb.fDtrControl = dwLineControl;
    dcb.fRtsControl = dwLineControl;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

// Takes bytes from the port's receive ring until nWant arrived or the time is up.
std::string ReadFor(CUartPort& port, size_t nWant, DWORD dwTimeoutMs)
{
    std::string str;
    uint8_t abyChunk[4096];
    const DWORD dwStart = GetTickCount();
    while (str.size() < nWant && GetTickCount() - dwStart < dwTimeoutMs) {
        const int32_t nGot = port.Read(abyChunk, sizeof(abyChunk));
        if (nGot > 0)
            str.append(reinterpret_cast<char*>(abyChunk), static_cast<size_t>(nGot));
        else
            Sleep(1);
    }
    return str;
}

std::atomic<uint32_t> s_dwSeenMasks{0};

void RecordMask(void* pContext, CUartPort*, uint32_t dwMask)
{
    static_cast<std::atomic<uint32_t>*>(pContext)->fetch_or(dwMask);
}

uint64_t ProcessCpuMs()
{
    FILETIME ftCreate, ftExit, ftKernel, ftUser;
    GetProcessTimes(GetCurrentProcess(), &ftCreate, &ftExit, &ftKernel, &ftUser);
    auto toMs = [](const FILETIME& ft) { return ((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000; };
    return toMs(ftKernel) + toMs(ftUser);
}

class CUartOverWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GT(TestPort(), 0) << "QM_TEST_COM names the pty-backed port";
        s_dwSeenMasks = 0;
        m_port.SetPort(TestPort());
        ASSERT_TRUE(m_port.SetCommEventHook(RecordMask, &s_dwSeenMasks));
        ASSERT_EQ(m_port.Open(), 1) << m_port.GetLastOpenError().m_nCode << " " << m_port.GetLastOpenError().m_strText;
    }
    CUartPort m_port;
};

} // namespace

TEST(CCommLayer, OpensAPtyPortAt1000000Baud8N1WithoutModemLines)
{
    char szDevice[64];
    const COMM_HANDLE h = CommOpen(PortName().c_str(), szDevice, sizeof(szDevice));
    ASSERT_NE(h, COMM_INVALID_HANDLE) << CommGetLastError();
    EXPECT_EQ(std::string(szDevice), PortName());
    EXPECT_EQ(CommSetupQueues(h, 1200, 1200), 1);
    const COMM_DCB dcbRaised = LineSettings(DTR_CONTROL_ENABLE);
    EXPECT_EQ(CommSetState(h, &dcbRaised), 1) << CommGetLastError();   // lines it lacks are no failure
    uint32_t dwStatus = 0xFFFF;
    EXPECT_EQ(CommGetModemStatus(h, &dwStatus), 1);
    EXPECT_EQ(dwStatus, 0u);
    EXPECT_EQ(CommEscape(h, SETDTR), 0);
    EXPECT_EQ(CommGetLastError(), ERROR_NOT_SUPPORTED);
    uint32_t dwErrors = 0, dwInQueue = 99;
    EXPECT_EQ(CommClearError(h, &dwErrors, &dwInQueue), 1);
    EXPECT_EQ(dwInQueue, 0u);
    CommClose(h);
}

TEST(CCommLayer, WaitEndsAtOnceOnStopAndOnANewMask)
{
    const COMM_HANDLE h = CommOpen(PortName().c_str(), nullptr, 0);
    ASSERT_NE(h, COMM_INVALID_HANDLE) << CommGetLastError();
    const COMM_DCB dcb = LineSettings(DTR_CONTROL_DISABLE);
    ASSERT_EQ(CommSetState(h, &dcb), 1);
    ASSERT_EQ(CommSetMask(h, EV_RXCHAR | EV_TXEMPTY), 1);
    COMM_OVERLAPPED ov = {CommCreateEvent()};
    const COMM_EVENT hStop = CommCreateEvent();
    uint32_t dwMask = 0;
    std::thread stopper([hStop] { Sleep(100); CommSetEvent(hStop); });
    DWORD dwStart = GetTickCount();
    EXPECT_EQ(CommWaitEvent(h, &ov, hStop, &dwMask), COMM_STOPPED);
    stopper.join();
    EXPECT_LT(GetTickCount() - dwStart, 1000u);
    CommResetEvent(hStop);
    std::thread masker([h] { Sleep(100); CommSetMask(h, EV_RXFLAG); });
    dwStart = GetTickCount();
    EXPECT_EQ(CommWaitEvent(h, &ov, hStop, &dwMask), COMM_DONE);
    masker.join();
    EXPECT_EQ(dwMask, 0u);
    EXPECT_LT(GetTickCount() - dwStart, 1000u);
    CommCloseEvent(hStop);
    CommCloseEvent(ov.hEvent);
    CommClose(h);
}

TEST(CCommLayer, MissingPortIsNotFound)
{
    CUartPort port;
    port.SetPort(MISSING_PORT);
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(port.GetLastOpenError().m_eKind, EOsError::NotFound) << port.GetLastOpenError().m_nCode;
}

TEST_F(CUartOverWine, CommandIsAnswered)
{
    const char* const pszCommand = "ECHO quillmark\n";
    EXPECT_EQ(m_port.WriteString(pszCommand), static_cast<int32_t>(strlen(pszCommand)));
    EXPECT_EQ(ReadFor(m_port, 10, ANSWER_MS), "QUILLMARK\n");
    EXPECT_NE(s_dwSeenMasks & EV_RXCHAR, 0u);
}

TEST_F(CUartOverWine, BulkArrivesWholeAndInOrder)
{
    m_port.WriteString("BULK 200000\n");
    const DWORD dwStart = GetTickCount();
    const std::string str = ReadFor(m_port, BULK_BYTES, BULK_MS);
    ASSERT_EQ(str.size(), BULK_BYTES);
    size_t nBad = 0;
    for (size_t i = 0; i < str.size(); ++i)
        nBad += static_cast<uint8_t>(str[i]) != i % BULK_PATTERN_MOD ? 1 : 0;
    EXPECT_EQ(nBad, 0u);
    EXPECT_EQ(m_port.GetRxOverflowBytes(), 0u);
    std::printf("bulk: %u bytes in %lu ms\n", BULK_BYTES, GetTickCount() - dwStart);
}

TEST_F(CUartOverWine, IdlePortWaitsWithoutSpinningAndClosesQuickly)
{
    const uint64_t qwCpuBefore = ProcessCpuMs();
    Sleep(300);
    EXPECT_LT(ProcessCpuMs() - qwCpuBefore, 60u);   // WaitCommEvent would spin under Wine; the read waits
    const DWORD dwStart = GetTickCount();
    m_port.Close();
    EXPECT_LT(GetTickCount() - dwStart, 500u);
    ASSERT_EQ(m_port.Open(), 1);
    m_port.WriteString("ECHO again\n");
    EXPECT_EQ(ReadFor(m_port, 6, ANSWER_MS), "AGAIN\n");
}

TEST_F(CUartOverWine, DeviceGoneIsReportedOnceWithoutSpinning)
{
    m_port.WriteString("HANGUP\n");
    const DWORD dwStart = GetTickCount();
    while (!m_port.IsLineLost() && GetTickCount() - dwStart < ANSWER_MS)
        Sleep(5);
    ASSERT_TRUE(m_port.IsLineLost());
    EXPECT_NE(s_dwSeenMasks & EV_ERR, 0u);
    const uint64_t qwCpuBefore = ProcessCpuMs();
    Sleep(300);
    EXPECT_LT(ProcessCpuMs() - qwCpuBefore, 100u);   // the reader waits to be stopped, it does not spin
    const DWORD dwClose = GetTickCount();
    m_port.Close();
    EXPECT_LT(GetTickCount() - dwClose, 500u);
    EXPECT_EQ(m_port.Open(), 0);   // the link has gone with the device
}
