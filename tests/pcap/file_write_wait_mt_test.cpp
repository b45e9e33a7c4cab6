// The OS layer's write into a pipe that cannot block (a FIFO opened here,
// left non-blocking): the write is tried first, and room is waited for only
// when there is none; the wake still ends that wait. A pipe that can block
// (as standard output may) is still waited for first.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir_posix.h"
#include "pcap/file_api.h"

namespace {

constexpr size_t MORE_THAN_A_PIPE = 512 * 1024;   // a pipe holds 64 KiB by default

std::vector<uint8_t> Pattern(size_t nLen)
{
    std::vector<uint8_t> by(nLen);
    for (size_t i = 0; i < nLen; ++i)
        by[i] = static_cast<uint8_t>(i * 13 + i / 251);
    return by;
}

// A FIFO of ours with a reader end opened first (so the open does not wait).
struct CFifoPair {
    explicit CFifoPair(const std::string& strPath)
    {
        if (mkfifo(strPath.c_str(), 0600) == 0)
            m_nReader = open(strPath.c_str(), O_RDONLY | O_NONBLOCK);
        COsError err;
        m_hFile = FileOpenForWrite(strPath, EFileOpen::Existing, INVALID_QM_FILE_WAKE, &err);
    }
    ~CFifoPair()
    {
        COsError err;
        if (m_hFile != INVALID_QM_FILE)
            FileClose(m_hFile, &err);
        if (m_nReader >= 0)
            close(m_nReader);
    }
    int m_nReader = -1;
    QM_FILE m_hFile = INVALID_QM_FILE;
};

} // namespace

TEST(FileWriteWait, OnlyWhatCanBlockIsWaitedForFirst)
{
    CTestTempDir dir("qm-write-wait");
    COsError err;
    const QM_FILE hPlain = FileOpenForWrite(dir / "plain", EFileOpen::CreateNew, INVALID_QM_FILE_WAKE, &err);
    ASSERT_NE(hPlain, INVALID_QM_FILE);
    EXPECT_FALSE(FileWriteMayBlock(hPlain));
    EXPECT_TRUE(FileClose(hPlain, &err));

    CFifoPair fifo(dir / "fifo");
    ASSERT_NE(fifo.m_hFile, INVALID_QM_FILE);
    EXPECT_FALSE(FileWriteMayBlock(fifo.m_hFile));

    int anPipe[2] = {-1, -1};
    ASSERT_EQ(pipe(anPipe), 0);   // blocking, as a shared standard output
    EXPECT_TRUE(FileWriteMayBlock(static_cast<QM_FILE>(anPipe[1])));
    close(anPipe[0]);
    close(anPipe[1]);
}

// More than the pipe holds: the rest waits for the reader, and every byte
// arrives once, in order.
TEST(FileWriteWait, ANonBlockingFifoWaitsForRoomOnceFullAndLosesNothing)
{
    CTestTempDir dir("qm-write-wait");
    CFifoPair fifo(dir / "fifo");
    ASSERT_NE(fifo.m_hFile, INVALID_QM_FILE);
    ASSERT_GE(fifo.m_nReader, 0);
    const QM_FILE_WAKE hWake = FileWakeCreate();
    ASSERT_NE(hWake, INVALID_QM_FILE_WAKE);
    const std::vector<uint8_t> by = Pattern(MORE_THAN_A_PIPE);
    std::vector<uint8_t> got;
    std::thread reader([&] {
        const int nFlags = fcntl(fifo.m_nReader, F_GETFL);
        fcntl(fifo.m_nReader, F_SETFL, nFlags & ~O_NONBLOCK);
        uint8_t buf[8192];
        while (got.size() < by.size()) {
            const ssize_t n = read(fifo.m_nReader, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
    });
    size_t nDone = 0;
    COsError err;
    const bool bOk = FileWriteAll(fifo.m_hFile, by.data(), by.size(), hWake, &nDone, &err, false);
    reader.join();
    FileWakeClose(hWake);
    EXPECT_TRUE(bOk) << err.m_strText;
    EXPECT_EQ(nDone, by.size());
    EXPECT_TRUE(got == by);
}

// Nobody reads: once the pipe is full, the signalled wake ends the write
// (TimedOut) with what went counted, instead of a wait or a spin for ever.
TEST(FileWriteWait, AFullFifoGivesUpOnTheWake)
{
    CTestTempDir dir("qm-write-wait");
    CFifoPair fifo(dir / "fifo");
    ASSERT_NE(fifo.m_hFile, INVALID_QM_FILE);
    const QM_FILE_WAKE hWake = FileWakeCreate();
    ASSERT_NE(hWake, INVALID_QM_FILE_WAKE);
    FileWakeSignal(hWake);
    const std::vector<uint8_t> by = Pattern(MORE_THAN_A_PIPE);
    size_t nDone = 0;
    COsError err;
    EXPECT_FALSE(FileWriteAll(fifo.m_hFile, by.data(), by.size(), hWake, &nDone, &err, false));
    EXPECT_EQ(err.m_eKind, EOsError::TimedOut);
    EXPECT_GT(nDone, 0u);   // what the pipe had room for went first
    EXPECT_LT(nDone, by.size());
    FileWakeClose(hWake);
}
