// What the pcap file sink opens: a file named for CreateNew / Replace is a
// regular file (a link to one too) and nothing else is opened for writing,
// nor waited for: a FIFO with or without a reader, one behind a link, a
// device, a socket and a link to nothing are refused at once. Existing takes
// only a FIFO and leaves anything else byte for byte as it was. Standard
// output closed is said so.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "common/temp_dir_posix.h"
#include "pcap/file_api.h"
#include "pcap/pcap_file.h"

namespace {

constexpr auto OPEN_AT_ONCE = std::chrono::seconds(2);   // a refusal takes microseconds

std::string ReadText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

// A FIFO's non-blocking reader that has never seen a writer polls quiet;
// once a writer has opened and closed it, it polls as hung up (Linux).
bool SawAWriter(int nReader)
{
    struct pollfd pfd = {nReader, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLIN)) != 0;
}

// Opens strPath with eHow on another thread: the error, or a note that the
// open did not return at once. A writer blocked on a FIFO is set free by a
// reader opened here, one waiting for a reader by Abort, so that the test
// fails instead of hanging.
COsError OpenAtOnce(const std::string& strFifoOrFile, EPcapFileOpen eHow, bool* pbOpened)
{
    CPcapFile file;
    auto opened = std::async(std::launch::async, [&file, &strFifoOrFile, eHow] {
        return file.Open(strFifoOrFile, eHow);
    });
    if (opened.wait_for(OPEN_AT_ONCE) != std::future_status::ready) {
        file.Abort();
        const int nRescue = open(strFifoOrFile.c_str(), O_RDONLY | O_NONBLOCK);
        opened.wait();
        if (nRescue >= 0)
            close(nRescue);
        *pbOpened = true;
        return OsErrorOfKind(EOsError::TimedOut, "the open waited");
    }
    *pbOpened = opened.get();
    return file.GetLastError();
}

void ExpectRefused(const std::string& strPath, EPcapFileOpen eHow, const char* pszText)
{
    bool bOpened = false;
    const COsError err = OpenAtOnce(strPath, eHow, &bOpened);
    EXPECT_FALSE(bOpened) << strPath;
    EXPECT_EQ(err.m_eKind, EOsError::WrongKind) << strPath << ": " << err.m_strText;
    EXPECT_NE(err.m_strText.find(pszText), std::string::npos) << strPath << ": " << err.m_strText;
}

// A unix socket bound at strPath; its descriptor, or -1.
int BindSocket(const std::string& strPath)
{
    const int nSock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (nSock < 0 || strPath.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, strPath.c_str(), strPath.size() + 1);
    if (bind(nSock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        close(nSock);
        return -1;
    }
    return nSock;
}

const EPcapFileOpen FILE_MODES[] = {EPcapFileOpen::CreateNew, EPcapFileOpen::Replace};

} // namespace

TEST(CPcapFileKind, AFifoNamedAsAFileIsRefusedAtOnceAndNeverOpenedForWriting)
{
    CTestTempDir dir("pcap-kind");
    const std::string strLonely = dir / "lonely";   // no reader: a blocking open would hang
    const std::string strRead = dir / "read";       // a reader that never reads
    const std::string strLink = dir / "link";       // a link to that one
    ASSERT_EQ(mkfifo(strLonely.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(strRead.c_str(), 0600), 0);
    ASSERT_EQ(symlink(strRead.c_str(), strLink.c_str()), 0);
    const int nReader = open(strRead.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(nReader, 0);
    for (EPcapFileOpen eHow : FILE_MODES) {
        ExpectRefused(strLonely, eHow, "not a regular file (a FIFO)");
        ExpectRefused(strRead, eHow, "not a regular file (a FIFO)");
        ExpectRefused(strLink, eHow, "not a regular file (a FIFO)");
    }
    // Not one byte, and not even an open and close (its reader would take
    // that for the end of the stream).
    char by[64];
    EXPECT_LE(read(nReader, by, sizeof by), 0);
    EXPECT_FALSE(SawAWriter(nReader));
    close(nReader);
    const int nLateReader = open(strLonely.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(nLateReader, 0);
    EXPECT_FALSE(SawAWriter(nLateReader));
    close(nLateReader);
}

TEST(CPcapFileKind, DevicesSocketsAndLinksToNothingAreRefusedAndNothingIsMade)
{
    CTestTempDir dir("pcap-kind");
    const std::string strSock = dir / "sock";
    const int nSock = BindSocket(strSock);
    ASSERT_GE(nSock, 0);
    const std::string strDangling = dir / "dangling";
    const std::string strTarget = dir / "target.pcap";
    ASSERT_EQ(symlink(strTarget.c_str(), strDangling.c_str()), 0);
    for (EPcapFileOpen eHow : FILE_MODES) {
        ExpectRefused("/dev/null", eHow, "not a regular file (a character device)");
        ExpectRefused(strSock, eHow, "not a regular file (a socket)");
        ExpectRefused(dir.Path(), eHow, "not a regular file (a directory)");
        ExpectRefused(strDangling, eHow, "symbolic link to nothing");
        EXPECT_FALSE(Exists(strTarget));   // O_CREAT through the link would have made it
    }
    close(nSock);
}

TEST(CPcapFileKind, ALinkToARegularFileIsWrittenThroughAndNewFilesAreMade)
{
    CTestTempDir dir("pcap-kind");
    const std::string strTarget = dir / "target.pcap";
    const std::string strLink = dir / "link.pcap";
    std::ofstream(strTarget) << "old content, longer than a pcap header";
    ASSERT_EQ(symlink(strTarget.c_str(), strLink.c_str()), 0);
    CPcapFile file;
    EXPECT_FALSE(file.Open(strLink, EPcapFileOpen::CreateNew));
    EXPECT_EQ(file.GetLastError().m_eKind, EOsError::AlreadyExists);
    ASSERT_TRUE(file.Open(strLink, EPcapFileOpen::Replace)) << file.GetLastError().m_strText;
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(ReadText(strTarget).size(), static_cast<size_t>(PCAP_GLOBAL_HEADER_LEN));
    struct stat st;
    ASSERT_EQ(lstat(strLink.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));   // still the link

    // Nothing there: both make the file; a missing folder is NotFound.
    for (EPcapFileOpen eHow : FILE_MODES) {
        const std::string strNew = dir / (eHow == EPcapFileOpen::Replace ? "replace.pcap" : "new.pcap");
        ASSERT_TRUE(file.Open(strNew, eHow)) << file.GetLastError().m_strText;
        EXPECT_TRUE(file.Close());
        EXPECT_EQ(ReadText(strNew).size(), static_cast<size_t>(PCAP_GLOBAL_HEADER_LEN));
        EXPECT_FALSE(file.Open(dir / "no-folder/x.pcap", eHow));
        EXPECT_EQ(file.GetLastError().m_eKind, EOsError::NotFound);
    }
}

TEST(CPcapFileKind, ExistingTakesOnlyAFifoAndLeavesAnythingElseUntouched)
{
    CTestTempDir dir("pcap-kind");
    const std::string strPrecious = dir / "precious.txt";
    const std::string strLink = dir / "link";
    const std::string strBytes("precious\0bytes\n", 15);
    std::ofstream(strPrecious, std::ios::binary) << strBytes;
    ASSERT_EQ(symlink(strPrecious.c_str(), strLink.c_str()), 0);
    const std::string strSock = dir / "sock";
    const int nSock = BindSocket(strSock);
    ASSERT_GE(nSock, 0);
    for (const std::string& strPath : {strPrecious, strLink}) {
        bool bOpened = false;
        const COsError err = OpenAtOnce(strPath, EPcapFileOpen::Existing, &bOpened);
        EXPECT_FALSE(bOpened);
        EXPECT_EQ(err.m_eKind, EOsError::WrongKind);
        EXPECT_EQ(err.m_strText, "not a FIFO (a regular file)");
        EXPECT_EQ(ReadText(strPrecious), strBytes);
    }
    // A socket cannot be opened at all (ENXIO, as a FIFO without a reader
    // says): refused at once instead of waited on for ever.
    bool bOpened = false;
    const COsError err = OpenAtOnce(strSock, EPcapFileOpen::Existing, &bOpened);
    EXPECT_FALSE(bOpened);
    EXPECT_EQ(err.m_strText, "not a FIFO (a socket)");
    close(nSock);

    // A link to a FIFO with its reader is what Wireshark may hand: taken.
    const std::string strFifo = dir / "fifo";
    const std::string strFifoLink = dir / "fifo-link";
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(strFifo.c_str(), strFifoLink.c_str()), 0);
    const int nReader = open(strFifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(nReader, 0);
    CPcapFile file;
    ASSERT_TRUE(file.Open(strFifoLink, EPcapFileOpen::Existing)) << file.GetLastError().m_strText;
    uint8_t byHeader[PCAP_GLOBAL_HEADER_LEN] = {};
    EXPECT_EQ(read(nReader, byHeader, sizeof byHeader), PCAP_GLOBAL_HEADER_LEN);
    EXPECT_TRUE(file.Close());
    close(nReader);
}

// Standard output closed under the process: said so, not some other
// descriptor's error. (The command's own case, closed from its start when a
// later descriptor takes number 1, is in tests/shell/cli.)
TEST(CPcapFileKind, ClosedStandardOutputIsSaidSo)
{
    CPcapFile file;   // its own descriptors first, so that none takes number 1 below
    fflush(stdout);
    const int nSaved = dup(STDOUT_FILENO);
    ASSERT_GE(nSaved, 0);
    close(STDOUT_FILENO);
    const bool bOpened = file.Open(std::string(), EPcapFileOpen::Stdout);
    const COsError err = file.GetLastError();
    dup2(nSaved, STDOUT_FILENO);
    close(nSaved);
    EXPECT_FALSE(bOpened);
    EXPECT_EQ(err.m_strText, "standard output is closed");
}
