// End-to-end harness: the real dialog with the real controller, serial port
// and pipe link, the simulated dongle on a pty published as COM200, and a
// stand-in Wireshark (capture_reader.sh) that copies the FIFO to a file.
#pragma once

#include "shell_test_util.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QComboBox>
#include <QLabel>
#include <QThread>

#include <pcap/pcap.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <vector>

constexpr int E2E_PORT = 200;

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

// The simulated dongle as a child process.
class CSimRunner {
public:
    ~CSimRunner()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }
    bool Start(const QString& strPortsDir, const QStringList& lstExtra)
    {
        QDir().mkpath(strPortsDir);
        QStringList lstArgs { QStringLiteral("--port"), QString::number(E2E_PORT),
            QStringLiteral("--ports-dir"), strPortsDir };
        lstArgs += lstExtra;
        QObject::connect(&m_proc, &QProcess::readyReadStandardOutput, [this] { m_strOut += m_proc.readAllStandardOutput(); });
        QObject::connect(&m_proc, &QProcess::readyReadStandardError, [this] { m_strErr += m_proc.readAllStandardError(); });
        m_proc.start(QStringLiteral(QM_DONGLE_SIM_PATH), lstArgs);
        return WaitUntil([this] { return m_strOut.contains("ready ") && m_strOut.contains('\n'); }, 10000);
    }
    bool WaitForLog(const char* pszText, int nMs)
    {
        return WaitUntil([&] { return m_strErr.contains(pszText); }, nMs);
    }
    // Ends it with SIGTERM; the summary line comes out on the way.
    bool Finish()
    {
        m_proc.terminate();
        if (!m_proc.waitForFinished(10000))
            return false;
        m_strOut += m_proc.readAllStandardOutput();
        m_strErr += m_proc.readAllStandardError();
        return m_strOut.contains("summary ");
    }
    // A "key=value" number of the summary line; -1 when absent.
    qint64 Summary(const char* pszKey) const
    {
        const QByteArray byKey = QByteArray(" ") + pszKey + "=";
        const qsizetype nAt = m_strOut.indexOf(byKey);
        if (nAt < 0)
            return -1;
        const qsizetype nFrom = nAt + byKey.size();
        qsizetype nTo = nFrom;
        while (nTo < m_strOut.size() && m_strOut.at(nTo) >= '0' && m_strOut.at(nTo) <= '9')
            ++nTo;
        return m_strOut.mid(nFrom, nTo - nFrom).toLongLong();
    }
    const QByteArray& Err() const { return m_strErr; }

private:
    QProcess m_proc;
    QByteArray m_strOut;
    QByteArray m_strErr;
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
