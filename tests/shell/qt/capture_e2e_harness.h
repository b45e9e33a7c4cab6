// End-to-end harness: the real dialog with the real controller, serial port
// and pipe link, the simulated dongle on a pty published as COM200, and a
// stand-in Wireshark (capture_reader.sh) that copies the FIFO to a file.
#pragma once

#include "shell_test_util.h"

#include <QCoreApplication>
#include <QDir>
#include <QComboBox>
#include <QLabel>

#include <pcap/pcap.h>
#include <signal.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/child_process_posix.h"
#include "common/qt_wait.h"
#include "common/sim_summary.h"

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

// Starts a child from an argument list as Qt holds it.
inline bool SpawnChild(CChildProcess& child, const QStringList& lstArgv)
{
    std::vector<std::string> vecArgv;
    for (const QString& strArg : lstArgv)
        vecArgv.push_back(QFile::encodeName(strArg).toStdString());
    return child.Spawn(vecArgv);
}

// Waits up to nMs, the event loop turning, for the child to end.
inline bool WaitForEnd(CChildProcess& child, int nMs)
{
    const bool bEnded = WaitUntil([&child] {
        child.Drain();
        return child.HasEnded();
    }, nMs);
    child.Drain();
    return bEnded;
}

// The simulated dongle, publishing COM200 in the ports directory.
class CSimRunner {
public:
    bool Start(const QString& strPortsDir, const QStringList& lstExtra)
    {
        QDir().mkpath(strPortsDir);
        QStringList lstArgv { QStringLiteral(QM_DONGLE_SIM_PATH), QStringLiteral("--port"),
            QString::number(E2E_PORT), QStringLiteral("--ports-dir"), strPortsDir };
        lstArgv += lstExtra;
        if (!SpawnChild(m_child, lstArgv))
            return false;
        return WaitUntil([this] {
            m_child.Drain();
            return m_child.Out().find("ready ") != std::string::npos && m_child.Out().find('\n') != std::string::npos;
        }, 10000);
    }
    bool WaitForLog(const char* pszText, int nMs)
    {
        return WaitUntil([&] {
            m_child.Drain();
            return m_child.Err().find(pszText) != std::string::npos;
        }, nMs);
    }
    // Ends it with SIGTERM; the summary line comes out on the way.
    bool Finish()
    {
        return m_child.SendSignal(SIGTERM) && WaitForEnd(m_child, 10000)
            && m_child.Out().find("summary ") != std::string::npos;
    }
    // A "key=value" number of the summary line; -1 when absent.
    qint64 Summary(const char* pszKey) const
    {
        const std::map<std::string, uint64_t> mapSummary = ParseSimSummary(m_child.Out());
        const auto it = mapSummary.find(pszKey);
        return it == mapSummary.end() ? -1 : static_cast<qint64>(it->second);
    }
    const std::string& Err() const { return m_child.Err(); }

private:
    CChildProcess m_child;
};

struct CPcapRead {
    int m_nLinkType = -1;
    std::vector<QByteArray> m_vecRecords;
    std::vector<bpf_u_int32> m_vecOrigLen;
    bool m_bComplete = false;   // read to its end without a cut record
    QString m_strError;         // libpcap's word when it is not
};

// Reads a pcap file with libpcap; a cut last record ends the list.
inline CPcapRead ReadPcap(const QString& strPath)
{
    CPcapRead file;
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

inline qint64 TotalFrameBytes(const CPcapRead& sent)
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

// The controller's count of data-frame bytes (what the Rx label shows).
inline qint64 DataBytes(const CCaptureDlg& dlg)
{
    return static_cast<qint64>(dlg.m_model.GetEngine().GetCounters().m_qwDataBytes);
}

inline bool Logged(const CCaptureDlg& dlg, const char* pszLine)
{
    return LogMessages(dlg).contains(QString::fromLatin1(pszLine));
}

// The first log line that starts with pszStart; "" when none does.
inline QString LoggedStartingWith(const CCaptureDlg& dlg, const char* pszStart)
{
    for (const QString& strLine : LogMessages(dlg)) {
        if (strLine.startsWith(QString::fromLatin1(pszStart)))
            return strLine;
    }
    return QString();
}

// A number that follows pszKey in the Stop summary line; -1 when absent.
inline qint64 SummaryCount(const CCaptureDlg& dlg, const char* pszKey)
{
    const QString strLine = LoggedStartingWith(dlg, "Frames delivered: ");
    const qsizetype nAt = strLine.indexOf(QString::fromLatin1(pszKey));
    if (nAt < 0)
        return -1;
    qsizetype nEnd = nAt + static_cast<qsizetype>(std::strlen(pszKey));
    qsizetype nDigits = nEnd;
    while (nDigits < strLine.size() && strLine.at(nDigits).isDigit())
        ++nDigits;
    return nDigits > nEnd ? strLine.mid(nEnd, nDigits - nEnd).toLongLong() : -1;
}

// Whether every record is one of the frames sent, in the order sent (a
// subsequence: frames may be missing, none may be made up or reordered).
inline bool RecordsAreSentFramesInOrder(const CPcapRead& got, const CPcapRead& sent, QString& strWhy)
{
    size_t nSent = 0;
    for (size_t i = 0; i < got.m_vecRecords.size(); ++i) {
        while (nSent < sent.m_vecRecords.size() && sent.m_vecRecords[nSent] != got.m_vecRecords[i])
            ++nSent;
        if (nSent == sent.m_vecRecords.size()) {
            strWhy = QStringLiteral("record %1 (%2 bytes) matches no frame sent after the one before it")
                .arg(i).arg(got.m_vecRecords[i].size());
            return false;
        }
        ++nSent;
    }
    return true;
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
        m_pDlg->SetAckTimeoutMs(300);
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
