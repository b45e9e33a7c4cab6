// The named pipe to Wireshark across real Wine processes: the stand-in reader
// is launched as Wireshark would be and must receive the stream byte for
// byte; clients that go, come back, or stop reading; the wake.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "pcap/launch.h"
#include "pcap/pipe_api.h"
#include "win32_test_util.h"

namespace {

constexpr uint32_t CONNECT_MS = 10000;
constexpr DWORD READER_DONE_MS = 10000;
constexpr int32_t RECORD_COUNT = 2000;
constexpr uint32_t PCAP_LINKTYPE_IEEE802_15_4 = 195;

void PutU32(std::string& str, uint32_t dw)
{
    for (int i = 0; i < 4; ++i)
        str += static_cast<char>((dw >> (8 * i)) & 0xFF);
}

// A pcap stream (global header, then records of 5..127 bytes) and its record ends.
std::string MakeCapture(std::vector<uint32_t>& vEnds)
{
    std::string str;
    PutU32(str, 0xA1B2C3D4);
    PutU32(str, 0x00040002);   // version 2.4
    PutU32(str, 0);
    PutU32(str, 0);
    PutU32(str, 65535);
    PutU32(str, PCAP_LINKTYPE_IEEE802_15_4);
    vEnds.push_back(static_cast<uint32_t>(str.size()));
    for (int32_t i = 0; i < RECORD_COUNT; ++i) {
        const uint32_t dwLen = 5 + static_cast<uint32_t>(i % 123);
        PutU32(str, 1700000000 + static_cast<uint32_t>(i / 1000));
        PutU32(str, static_cast<uint32_t>(i % 1000) * 1000);
        PutU32(str, dwLen);
        PutU32(str, dwLen);
        for (uint32_t b = 0; b < dwLen; ++b)
            str += static_cast<char>((i + b) & 0xFF);
        vEnds.push_back(static_cast<uint32_t>(str.size()));
    }
    return str;
}

class CPipeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        COsError err;
        m_hPipe = PipeCreateInstance(&err);
        ASSERT_NE(m_hPipe, INVALID_PIPE_HANDLE) << err.m_nCode << " " << err.m_strText;
        m_hWake = PipeWakeCreate();
        ASSERT_NE(m_hWake, INVALID_PIPE_WAKE);
    }
    void TearDown() override
    {
        PipeCloseInstance(m_hPipe);
        PipeWakeClose(m_hWake);
    }
    // A client in this process, reading synchronously.
    HANDLE OpenClient() const
    {
        return CreateFileA(PipeInstancePath(m_hPipe).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    PIPE_HANDLE m_hPipe = INVALID_PIPE_HANDLE;
    PIPE_WAKE m_hWake = INVALID_PIPE_WAKE;
};

std::string ReadAvailable(HANDLE hClient)
{
    std::string str;
    DWORD dwAvail = 0;
    while (PeekNamedPipe(hClient, nullptr, 0, nullptr, &dwAvail, nullptr) && dwAvail > 0) {
        std::vector<char> vBuf(dwAvail);
        DWORD dwGot = 0;
        if (!ReadFile(hClient, vBuf.data(), dwAvail, &dwGot, nullptr))
            break;
        str.append(vBuf.data(), dwGot);
    }
    return str;
}

} // namespace

TEST_F(CPipeTest, InstanceHasTheWiresharkNameAndIsTheOnlyOne)
{
    EXPECT_EQ(PipeInstancePath(m_hPipe), "\\\\.\\pipe\\wireshark0");
    EXPECT_EQ(PipeDefaultPath(), PipeInstancePath(m_hPipe));
    COsError err;
    EXPECT_EQ(PipeCreateInstance(&err), INVALID_PIPE_HANDLE);
    EXPECT_EQ(err.m_eKind, EOsError::Busy) << err.m_nCode;
}

TEST_F(CPipeTest, WaitEndsByTimeOrWake)
{
    COsError err;
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(PipeWaitForClient(m_hPipe, 100, &err, m_hWake), PIPE_WAIT_TIMEOUT);
    EXPECT_EQ(err.m_eKind, EOsError::TimedOut);
    EXPECT_GE(GetTickCount() - dwStart, 90u);
    std::thread waker([this] { Sleep(50); PipeWakeSignal(m_hWake); });
    EXPECT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CANCELLED);
    waker.join();
    EXPECT_LT(GetTickCount() - dwStart, 2000u);
    EXPECT_FALSE(PipeHasClient(m_hPipe));
}

TEST_F(CPipeTest, LaunchedReaderReceivesTheWholeStream)
{
    const std::string strOut = qmtest::MakeScratchDir("pipe") + "\\capture.pcap";
    SetEnvironmentVariableA("QM_READER_OUT", strOut.c_str());
    SetEnvironmentVariableA("QM_READER_SLOW", "1");   // the pipe fills: writes must wait
    const std::string strInstance = PipeInstancePath(m_hPipe);
    const char* const apszArgs[] = {"-i", strInstance.c_str(), "-k"};
    const COsError errLaunch = LaunchDetached(qmtest::ReaderExe().c_str(), apszArgs, 3);
    SetEnvironmentVariableA("QM_READER_SLOW", nullptr);
    ASSERT_FALSE(errLaunch.IsError()) << errLaunch.m_nCode;
    COsError err;
    ASSERT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CONNECTED);
    std::vector<uint32_t> vEnds;
    const std::string strCapture = MakeCapture(vEnds);
    int32_t nResult = -1;
    const int32_t nMoved = PipeWriteBlocks(m_hPipe, reinterpret_cast<const uint8_t*>(strCapture.data()),
        static_cast<int32_t>(strCapture.size()), vEnds.data(), static_cast<int32_t>(vEnds.size()), m_hWake, &nResult);
    EXPECT_EQ(nResult, PIPE_IO_DONE);
    EXPECT_EQ(nMoved, static_cast<int32_t>(strCapture.size()));
    PipeDisconnectClient(m_hPipe);   // right away: what the reader has not read yet must still reach it
    ASSERT_TRUE(qmtest::WaitForFile(strOut + ".done", READER_DONE_MS));
    std::string strGot;
    ASSERT_TRUE(qmtest::ReadWholeFile(strOut + ".done", strGot));
    EXPECT_EQ(strGot.size(), strCapture.size());
    EXPECT_TRUE(strGot == strCapture);
    // For the Linux side, which reads both with tshark and compares.
    ASSERT_TRUE(qmtest::WriteWholeFile(strOut + ".expected", strCapture));
    if (const char* pszExport = std::getenv("QM_PIPE_EXPORT")) {
        ASSERT_TRUE(CopyFileA((strOut + ".done").c_str(), pszExport, FALSE));
    }
}

TEST_F(CPipeTest, ClientGoneIsSeenAndTheNextClientIsServed)
{
    HANDLE hClient = OpenClient();
    ASSERT_NE(hClient, INVALID_HANDLE_VALUE);
    COsError err;
    ASSERT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CONNECTED);   // came earlier: at once
    EXPECT_FALSE(PipeClientGone(m_hPipe));
    CloseHandle(hClient);
    EXPECT_TRUE(PipeClientGone(m_hPipe));
    const uint8_t abyData[] = {1, 2, 3, 4};
    int32_t nResult = -1;
    EXPECT_EQ(PipeWrite(m_hPipe, abyData, sizeof(abyData), m_hWake, &nResult), 0);
    EXPECT_EQ(nResult, PIPE_IO_GONE);
    PipeReleaseClient(m_hPipe);
    EXPECT_FALSE(PipeHasClient(m_hPipe));

    hClient = OpenClient();
    ASSERT_NE(hClient, INVALID_HANDLE_VALUE);
    ASSERT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CONNECTED);
    EXPECT_EQ(PipeWrite(m_hPipe, abyData, sizeof(abyData), m_hWake, &nResult), 4);
    EXPECT_EQ(nResult, PIPE_IO_DONE);
    EXPECT_EQ(ReadAvailable(hClient), std::string("\x01\x02\x03\x04", 4));
    CloseHandle(hClient);
}

TEST_F(CPipeTest, WakeEndsAWriteToAStalledClientOnABlockBoundary)
{
    const HANDLE hClient = OpenClient();
    ASSERT_NE(hClient, INVALID_HANDLE_VALUE);
    COsError err;
    ASSERT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CONNECTED);
    constexpr uint32_t BLOCK = 1000;
    constexpr uint32_t TOTAL = 1000 * BLOCK;   // far more than the pipe holds
    std::vector<uint8_t> vData(TOTAL);
    std::vector<uint32_t> vEnds;
    for (uint32_t i = 0; i < TOTAL; ++i)
        vData[i] = static_cast<uint8_t>(i / BLOCK);
    for (uint32_t dwEnd = BLOCK; dwEnd <= TOTAL; dwEnd += BLOCK)
        vEnds.push_back(dwEnd);
    std::thread waker([this] { Sleep(200); PipeWakeSignal(m_hWake); });
    int32_t nResult = -1;
    const int32_t nMoved = PipeWriteBlocks(m_hPipe, vData.data(), TOTAL, vEnds.data(),
                                           static_cast<int32_t>(vEnds.size()), m_hWake, &nResult);
    waker.join();
    EXPECT_EQ(nResult, PIPE_IO_CANCELLED);
    // Under Wine a cancelled write moves nothing; on Windows part of it may have gone.
    EXPECT_GE(nMoved, 0);
    EXPECT_LT(nMoved, static_cast<int32_t>(TOTAL));
    EXPECT_EQ(nMoved % BLOCK, 0u) << nMoved;
    const std::string strGot = ReadAvailable(hClient);
    EXPECT_EQ(strGot.size(), static_cast<size_t>(nMoved));
    CloseHandle(hClient);
}

// A write that stopped inside a block (the pipe took only its start) leaves
// the client holding part of it; the next write, even if woken before it
// moves a byte, must deliver the rest of that block, else a client cut off
// then ends on half a record.
TEST_F(CPipeTest, WakeStillFinishesABlockTheClientHoldsTheStartOf)
{
    const HANDLE hClient = OpenClient();
    ASSERT_NE(hClient, INVALID_HANDLE_VALUE);
    COsError err;
    ASSERT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CONNECTED);
    constexpr uint32_t BLOCK = 1000;
    constexpr uint32_t MAX_BLOCKS = 1000;   // far more than the pipe holds
    constexpr uint32_t HEAD = 200;          // what the client has of the cut block
    constexpr uint32_t REST = 300;
    constexpr DWORD READER_START_MS = 300;   // after the first try is cancelled, well inside the 1 s to finish
    std::string strSent;
    std::vector<uint8_t> vBlock(BLOCK);
    int32_t nResult = PIPE_IO_DONE;
    // Blocks, then single bytes, until the pipe takes nothing more.
    for (const uint32_t dwSize : {BLOCK, 1u}) {
        nResult = PIPE_IO_DONE;
        for (uint32_t i = 0; i < MAX_BLOCKS && nResult == PIPE_IO_DONE; ++i) {
            std::fill(vBlock.begin(), vBlock.end(), static_cast<uint8_t>(i));
            const int32_t nMoved = PipeWrite(m_hPipe, vBlock.data(), static_cast<int32_t>(dwSize), PIPE_WAKE_NO_WAIT,
                                             &nResult);
            strSent.append(reinterpret_cast<const char*>(vBlock.data()), static_cast<size_t>(nMoved));
        }
        ASSERT_EQ(nResult, PIPE_IO_CANCELLED);   // full
    }
    const std::vector<uint8_t> vRest(REST, 0xEE);
    PipeWakeSignal(m_hWake);
    // Nothing of the block yet: the wake ends the write on the boundary before it.
    EXPECT_EQ(PipeWriteBlocks(m_hPipe, vRest.data(), REST, &REST, 1, m_hWake, &nResult), 0);
    EXPECT_EQ(nResult, PIPE_IO_CANCELLED);

    // The client holds its head: the rest goes while the client reads. The
    // reader starts after the first try has been cancelled: Wine counts a
    // cancelled write as moving nothing even when a reader took part of it.
    const size_t nWant = strSent.size() + REST;
    std::string strGot;
    std::thread reader([&] {
        Sleep(READER_START_MS);
        for (const DWORD dwStart = GetTickCount(); strGot.size() < nWant && GetTickCount() - dwStart < READER_DONE_MS;) {
            const std::string strMore = ReadAvailable(hClient);
            if (strMore.empty())
                Sleep(1);
            strGot += strMore;
        }
    });
    const int32_t nMoved = PipeWriteBlocks(m_hPipe, vRest.data(), REST, &REST, 1, m_hWake, &nResult, HEAD);
    reader.join();
    EXPECT_EQ(nMoved, static_cast<int32_t>(REST));
    EXPECT_EQ(nResult, PIPE_IO_CANCELLED);
    EXPECT_EQ(strGot.size(), nWant);
    EXPECT_TRUE(strGot == strSent + std::string(REST, '\xEE'));
    CloseHandle(hClient);
}

TEST_F(CPipeTest, DisconnectReturnsAtOnceAndTheStalledReaderStillGetsEverything)
{
    HANDLE hClient = OpenClient();
    ASSERT_NE(hClient, INVALID_HANDLE_VALUE);
    COsError err;
    ASSERT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CONNECTED);
    constexpr uint32_t BLOCK = 1000;
    constexpr uint32_t MAX_BLOCKS = 1000;   // far more than the pipe holds
    constexpr DWORD FIRST_READ = 10;
    constexpr DWORD DISCONNECT_MAX_MS = 100;
    constexpr DWORD READ_DEADLINE_MS = 5000;
    std::string strSent;
    std::vector<uint8_t> vBlock(BLOCK);
    int32_t nResult = PIPE_IO_DONE;
    // Blocks that go in at once, until the pipe is full; the reader takes the first bytes only.
    for (uint32_t i = 0; i < MAX_BLOCKS && nResult == PIPE_IO_DONE; ++i) {
        std::fill(vBlock.begin(), vBlock.end(), static_cast<uint8_t>(i));
        const int32_t nMoved = PipeWrite(m_hPipe, vBlock.data(), BLOCK, PIPE_WAKE_NO_WAIT, &nResult);
        strSent.append(reinterpret_cast<const char*>(vBlock.data()), static_cast<size_t>(nMoved));
        if (i == 0) {
            char achFirst[FIRST_READ];
            DWORD dwGot = 0;
            ASSERT_TRUE(ReadFile(hClient, achFirst, FIRST_READ, &dwGot, nullptr));
            ASSERT_EQ(dwGot, FIRST_READ);
        }
    }
    ASSERT_EQ(nResult, PIPE_IO_CANCELLED);   // full
    const DWORD dwStart = GetTickCount();
    PipeDisconnectClient(m_hPipe);
    EXPECT_LT(GetTickCount() - dwStart, DISCONNECT_MAX_MS);
    EXPECT_FALSE(PipeHasClient(m_hPipe));
    EXPECT_EQ(PipeWrite(m_hPipe, vBlock.data(), BLOCK, m_hWake, &nResult), 0);   // cut off: nothing more
    EXPECT_EQ(nResult, PIPE_IO_GONE);

    // Resumed: the rest, then the end of the stream.
    std::string strGot;
    bool bEnd = false;
    for (const DWORD dwReadStart = GetTickCount(); !bEnd && GetTickCount() - dwReadStart < READ_DEADLINE_MS;) {
        DWORD dwAvail = 0;
        if (!PeekNamedPipe(hClient, nullptr, 0, nullptr, &dwAvail, nullptr))
            bEnd = true;
        else if (dwAvail == 0)
            Sleep(1);
        else
            strGot += ReadAvailable(hClient);
    }
    EXPECT_TRUE(bEnd);
    EXPECT_EQ(strGot.size() + FIRST_READ, strSent.size());
    EXPECT_TRUE(strGot == strSent.substr(FIRST_READ));
    CloseHandle(hClient);

    hClient = OpenClient();   // the connect is pending again
    ASSERT_NE(hClient, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_EQ(PipeWaitForClient(m_hPipe, CONNECT_MS, &err, m_hWake), PIPE_WAIT_CONNECTED);
    const uint8_t abyData[] = {1, 2, 3, 4};
    EXPECT_EQ(PipeWrite(m_hPipe, abyData, sizeof(abyData), m_hWake, &nResult), 4);
    EXPECT_EQ(ReadAvailable(hClient), std::string("\x01\x02\x03\x04", 4));
    CloseHandle(hClient);
}
