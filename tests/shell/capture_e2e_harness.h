// End-to-end harness: the real dialog with the real controller, serial port
// and pipe link, the simulated dongle on a pty published as COM200, and a
// stand-in Wireshark (capture_reader.sh) that copies the FIFO to a file.
#pragma once

#include "shell_test_util.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QComboBox>
#include <QLabel>
#include <QThread>

#include <pcap/pcap.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

extern char** environ;

constexpr int E2E_PORT = 200;

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QM_TEST_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(QM_TEST_UNDER_TSAN)
// Qt is not instrumented: the lifetime of its own threads (Qt Test's
// watchdog, the thread pool) is synchronised where ThreadSanitizer cannot see
// it, so the allocator and pthread calls made from inside Qt are left out.
// Our code, the serial threads and the test's own threads stay fully checked.
extern "C" const char* __tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}
#endif

// Keeps the event loop turning until fnDone() holds or nMs pass.
inline bool WaitUntil(const std::function<bool()>& fnDone, int nMs)
{
    QDeadlineTimer deadline(nMs);
    while (!fnDone()) {
        if (deadline.hasExpired())
            return fnDone();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

inline void PumpFor(int nMs)
{
    WaitUntil([] { return false; }, nMs);
}

// A child process with its standard output and error collected. Spawned with
// posix_spawn: ThreadSanitizer cannot follow the clone() that QProcess uses.
class CChildProcess {
public:
    ~CChildProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : { m_fdOut, m_fdErr }) {
            if (fd >= 0)
                close(fd);
        }
    }
    bool Start(const QStringList& lstArgv)
    {
        int fdOut[2];
        int fdErr[2];
        if (pipe2(fdOut, O_CLOEXEC) != 0 || pipe2(fdErr, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fdOut[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fdErr[1], 2);
        std::vector<QByteArray> vecArgs;
        for (const QString& strArg : lstArgv)
            vecArgs.push_back(QFile::encodeName(strArg));
        std::vector<char*> vecArgv;
        for (QByteArray& byArg : vecArgs)
            vecArgv.push_back(byArg.data());
        vecArgv.push_back(nullptr);
        const int nRc = posix_spawnp(&m_pid, vecArgv[0], &actions, nullptr, vecArgv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fdOut[1]);
        close(fdErr[1]);
        m_fdOut = fdOut[0];
        m_fdErr = fdErr[0];
        fcntl(m_fdOut, F_SETFL, O_NONBLOCK);
        fcntl(m_fdErr, F_SETFL, O_NONBLOCK);
        if (nRc != 0)
            m_pid = -1;
        return nRc == 0;
    }
    void Drain()
    {
        DrainFd(m_fdOut, m_byOut);
        DrainFd(m_fdErr, m_byErr);
    }
    // Waits up to nMs (the event loop turning) for the child to end.
    bool WaitForEnd(int nMs)
    {
        const bool bEnded = WaitUntil([this] {
            Drain();
            int nStatus = 0;
            if (m_pid > 0 && waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_pid = -1;
                m_nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
            }
            return m_pid < 0;
        }, nMs);
        Drain();
        return bEnded;
    }
    bool Signal(int nSignal) { return m_pid > 0 && kill(m_pid, nSignal) == 0; }
    int ExitCode() const { return m_nExitCode; }
    const QByteArray& Out() const { return m_byOut; }
    const QByteArray& Err() const { return m_byErr; }

private:
    static void DrainFd(int fd, QByteArray& byInto)
    {
        char byBuf[4096];
        ssize_t n = 0;
        while (fd >= 0 && (n = read(fd, byBuf, sizeof byBuf)) > 0)
            byInto.append(byBuf, n);
    }

    pid_t m_pid = -1;
    int m_fdOut = -1;
    int m_fdErr = -1;
    int m_nExitCode = -1;
    QByteArray m_byOut;
    QByteArray m_byErr;
};

// The simulated dongle, publishing COM200 in the ports directory.
class CSimRunner {
public:
    bool Start(const QString& strPortsDir, const QStringList& lstExtra)
    {
        QDir().mkpath(strPortsDir);
        QStringList lstArgv { QStringLiteral(QM_DONGLE_SIM_PATH), QStringLiteral("--port"),
            QString::number(E2E_PORT), QStringLiteral("--ports-dir"), strPortsDir };
        lstArgv += lstExtra;
        if (!m_child.Start(lstArgv))
            return false;
        return WaitUntil([this] {
            m_child.Drain();
            return m_child.Out().contains("ready ") && m_child.Out().contains('\n');
        }, 10000);
    }
    bool WaitForLog(const char* pszText, int nMs)
    {
        return WaitUntil([&] {
            m_child.Drain();
            return m_child.Err().contains(pszText);
        }, nMs);
    }
    // Ends it with SIGTERM; the summary line comes out on the way.
    bool Finish()
    {
        return m_child.Signal(SIGTERM) && m_child.WaitForEnd(10000) && m_child.Out().contains("summary ");
    }
    // A "key=value" number of the summary line; -1 when absent.
    qint64 Summary(const char* pszKey) const
    {
        const QByteArray& byOut = m_child.Out();
        const QByteArray byKey = QByteArray(" ") + pszKey + "=";
        const qsizetype nAt = byOut.indexOf(byKey);
        if (nAt < 0)
            return -1;
        const qsizetype nFrom = nAt + byKey.size();
        qsizetype nTo = nFrom;
        while (nTo < byOut.size() && byOut.at(nTo) >= '0' && byOut.at(nTo) <= '9')
            ++nTo;
        return byOut.mid(nFrom, nTo - nFrom).toLongLong();
    }
    const QByteArray& Err() const { return m_child.Err(); }

private:
    CChildProcess m_child;
};

struct CPcapFile {
    int m_nLinkType = -1;
    std::vector<QByteArray> m_vecRecords;
    std::vector<bpf_u_int32> m_vecOrigLen;
    bool m_bComplete = false;   // read to its end without a cut record
    QString m_strError;         // libpcap's word when it is not
};

// Reads a pcap file with libpcap; a cut last record ends the list.
inline CPcapFile ReadPcap(const QString& strPath)
{
    CPcapFile file;
    char szErr[PCAP_ERRBUF_SIZE];
    pcap_t* pPcap = pcap_open_offline(QFile::encodeName(strPath).constData(), szErr);
    if (pPcap == nullptr) {
        file.m_strError = QString::fromLocal8Bit(szErr);
        return file;
    }
    file.m_nLinkType = pcap_datalink(pPcap);
    pcap_pkthdr* pHdr = nullptr;
    const u_char* pData = nullptr;
    int nRc = 0;
    while ((nRc = pcap_next_ex(pPcap, &pHdr, &pData)) == 1) {
        file.m_vecRecords.emplace_back(reinterpret_cast<const char*>(pData), static_cast<qsizetype>(pHdr->caplen));
        file.m_vecOrigLen.push_back(pHdr->len);
    }
    file.m_bComplete = nRc == PCAP_ERROR_BREAK;
    if (!file.m_bComplete)
        file.m_strError = QString::fromLocal8Bit(pcap_geterr(pPcap));
    pcap_close(pPcap);
    return file;
}

inline qint64 TotalFrameBytes(const CPcapFile& sent)
{
    qint64 nTotal = 0;
    for (const QByteArray& byPayload : sent.m_vecRecords)
        nTotal += byPayload.size() + 17;
    return nTotal;
}

// True while a process runs (a zombie counts as ended).
inline bool ProcessRuns(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray byStat = stat.readAll();
    const qsizetype nParen = byStat.lastIndexOf(')');
    return nParen > 0 && nParen + 2 < byStat.size() && byStat.at(nParen + 2) != 'Z';
}

// One end-to-end setup: private settings with COM200, channel 15 and the
// stand-in Wireshark; the dialog created on demand.
class CE2EFixture {
public:
    CE2EFixture()
    {
        m_strCapture = m_dir.path() + QStringLiteral("/capture.pcap");
        m_strPidFile = m_dir.path() + QStringLiteral("/reader.pid");
        m_strSent = m_dir.path() + QStringLiteral("/sent.pcap");
        qputenv("QM_TEST_CAPTURE_OUT", QFile::encodeName(m_strCapture));
        qputenv("QM_TEST_READER_PID", QFile::encodeName(m_strPidFile));
        qputenv("QM_TEST_READER_MODE", "copy");
        InitSettingsPathFor(QFile::encodeName(m_dir.path()).constData());
        WriteSettingInt(SETTINGS_INDEX, "ComPort", E2E_PORT);
        WriteSettingInt(SETTINGS_INDEX, "Channel", 15);
        WriteSettingString(SETTINGS_INDEX, "Wireshark", QM_TEST_READER_SCRIPT);
        CCaptureDlg::s_nRxBytesSinceUpdate = RX_UPDATE_BYTES;
    }
    ~CE2EFixture()
    {
        DestroyDialog();
        const pid_t pid = ReaderPid();
        if (ProcessRuns(pid))
            kill(pid, SIGKILL);
    }
    CTestCaptureDlg& MakeDialog(uint32_t dwConnectMs = 10000, uint32_t dwReconnectMs = 500)
    {
        m_pDlg = std::make_unique<CTestCaptureDlg>(m_dir.path());
        m_pScope = std::make_unique<CMainWndScope>(m_pDlg.get());
        m_pDlg->OnInitDialog();
        m_pDlg->SetPipeTimeouts(dwConnectMs, dwReconnectMs);
        m_pDlg->m_rfCtrl.SetAckTimeoutMs(300);
        return *m_pDlg;
    }
    void DestroyDialog()
    {
        m_pScope.reset();
        m_pDlg.reset();
    }
    pid_t ReaderPid() const { return static_cast<pid_t>(ReadFileBytes(m_strPidFile).trimmed().toInt()); }
    bool WaitReaderEnds(int nMs)
    {
        return WaitUntil([this] { return !ProcessRuns(ReaderPid()); }, nMs);
    }
    QString PortsDir() const { return m_dir.path() + QStringLiteral("/ports"); }
    QString FifoPath() const
    {
        return QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) + QStringLiteral("/quillmark/wireshark0");
    }

    QTemporaryDir m_dir;
    QString m_strCapture;
    QString m_strPidFile;
    QString m_strSent;
    std::unique_ptr<CTestCaptureDlg> m_pDlg;
    std::unique_ptr<CMainWndScope> m_pScope;
};
