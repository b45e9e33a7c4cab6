// Start and capture faults through the real dialog: a Wireshark that cannot
// be started or never connects, a Stop during the wait for it, a port that has gone, and a Wireshark that
// dies mid-capture while a new reader takes its place within the wait.
#include "capture_e2e_harness.h"

#include <QPushButton>
#include <QtTest>

#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

class CCaptureFaultsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { UsePrivateXdgDirs(m_dirXdg); }

    void wiresharkCannotBeStarted();
    void wiresharkNeverConnects();
    void stopWhileWaitingForWireshark();
    void portGoneBeforeStart();
    void readerKilledAndReplacedMidCapture();

private:
    QTemporaryDir m_dirXdg;
};

void CCaptureFaultsTest::wiresharkCannotBeStarted()
{
    CE2EFixture fx;
    CPublishedPty pty;
    QVERIFY(pty.Publish(fx.PortsDir(), E2E_PORT));
    // It exists, so the existence check passes, but nobody may run it.
    const QString strNotRunnable = fx.m_dir.path() + QStringLiteral("/wireshark");
    QFile file(strNotRunnable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    QCOMPARE(WriteSettingString(SETTINGS_INDEX, "Wireshark", QFile::encodeName(strNotRunnable).constData()), 1);
    CTestCaptureDlg& dlg = fx.MakeDialog();

    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 2);
    QCOMPARE(lstLog.at(0), QStringLiteral("Open Wireshark fail!"));
    QVERIFY2(lstLog.at(1).contains(strNotRunnable) && lstLog.at(1).contains(QStringLiteral("error 13")),
        qPrintable(lstLog.at(1)));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QVERIFY(!dlg.m_model.GetEngine().IsPortOpen());   // the port was never touched
}

void CCaptureFaultsTest::wiresharkNeverConnects()
{
    CE2EFixture fx;
    CPublishedPty pty;
    QVERIFY(pty.Publish(fx.PortsDir(), E2E_PORT));
    qputenv("QM_TEST_READER_MODE", "sleep");
    CTestCaptureDlg& dlg = fx.MakeDialog(300);

    // Start returns at once; the wait runs without the window.
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(!dlg.m_btnStart->isEnabled());
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Open Wireshark fail!"); }, 5000));
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 3);
    QVERIFY2(lstLog.at(0).startsWith(QStringLiteral("Waiting up to 1 s for Wireshark")), qPrintable(lstLog.at(0)));
    QCOMPARE(lstLog.at(1), QStringLiteral("Open Wireshark fail!"));
    QVERIFY2(lstLog.at(2).contains(QStringLiteral("did not connect")) && lstLog.at(2).contains(fx.FifoPath()),
        qPrintable(lstLog.at(2)));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QVERIFY(!dlg.m_model.IsRunning());
    // The program it launched keeps running (it is not ours to end).
    QVERIFY(WaitUntil([&] { return fx.ReaderPid() > 0; }, 2000));
    QVERIFY(ProcessRuns(fx.ReaderPid()));
}

// Stop during the wait for Wireshark ends the wait at once; what the pipe
// link reports about that launch later must not touch the next Start.
void CCaptureFaultsTest::stopWhileWaitingForWireshark()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("50") }));
    qputenv("QM_TEST_READER_MODE", "sleep");
    CTestCaptureDlg& dlg = fx.MakeDialog(400);
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return fx.ReaderPid() > 0; }, 2000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QCOMPARE(dlg.m_model.GetEngine().GetPipeState(), PIPE_STATE_IDLE);
    QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 3);
    QCOMPARE(lstLog.at(1), QStringLiteral("Stop ZigBee sniffing OK!"));
    // The wait would have ended by now: nothing more is told.
    PumpFor(600);
    QCOMPARE(LogMessages(dlg).size(), 3);
    QVERIFY(!dlg.m_model.GetEngine().IsPortOpen());   // the dongle was never touched
    kill(fx.ReaderPid(), SIGKILL);

    // The next Start with a reader that connects runs a normal capture.
    qputenv("QM_TEST_READER_MODE", "copy");
    QFile::remove(fx.m_strPidFile);
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(!Logged(dlg, "Open Wireshark fail!"));
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetPipeStats().m_qwRecordsDelivered >= 3; }, 5000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(sim.WaitForLog("cmd stop", 2000));
    QVERIFY(fx.WaitReaderEnds(5000));
    QVERIFY(ReadPcap(fx.m_strCapture).m_vecRecords.size() >= 3);
}

void CCaptureFaultsTest::portGoneBeforeStart()
{
    CE2EFixture fx;
    auto pPty = std::make_unique<CPublishedPty>();
    QVERIFY(pPty->Publish(fx.PortsDir(), E2E_PORT));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    QCOMPARE(dlg.m_comboDevice->currentData().toInt(), E2E_PORT);
    pPty.reset();   // unplugged after the list was made

    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Open UART Port FAIL!"); }, 5000));
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 3);
    QCOMPARE(lstLog.at(1), QStringLiteral("Open UART Port FAIL!"));
    QVERIFY2(lstLog.at(2).contains(QStringLiteral("COM200"))
            && lstLog.at(2).contains(fx.PortsDir() + QStringLiteral("/com200")),
        qPrintable(lstLog.at(2)));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    // Wireshark had connected; the failed Start cut it off again.
    QVERIFY(fx.WaitReaderEnds(5000));
    const CPcapRead captured = ReadPcap(fx.m_strCapture);
    QCOMPARE(captured.m_nLinkType, 195);
    QVERIFY(captured.m_vecRecords.empty());
}

// A second reader: it opens the FIFO once the pipe link has let go of the
// client that went away (no descriptor of this process has the FIFO open
// for writing any more), and reads until the writer closes it.
class CLateReader {
public:
    explicit CLateReader(const QString& strFifo)
        : m_strPath(QFile::encodeName(strFifo).toStdString())
        , m_thread([this] { Run(); })
    {
    }
    ~CLateReader()
    {
        m_bQuit = true;
        m_thread.join();
    }
    bool Done() const { return m_bDone; }
    size_t BytesRead() const { return m_nBytes; }
    const std::vector<char>& Data() const { return m_vecData; }   // after Done()

private:
    // Whether descriptor pszFd of this process is open for writing.
    static bool OpenForWriting(const char* pszFd)
    {
        QFile info(QStringLiteral("/proc/self/fdinfo/") + QLatin1String(pszFd));
        if (!info.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray& byLine : info.readAll().split('\n')) {
            if (byLine.startsWith("flags:"))
                return (std::strtol(byLine.mid(6).trimmed().constData(), nullptr, 8) & O_ACCMODE) == O_WRONLY;
        }
        return false;
    }
    bool WriterHoldsFifo() const
    {
        DIR* pDir = opendir("/proc/self/fd");
        bool bHeld = false;
        while (pDir != nullptr && !bHeld) {
            const dirent* pEnt = readdir(pDir);
            if (pEnt == nullptr)
                break;
            char szTarget[PATH_MAX];
            const std::string strLink = std::string("/proc/self/fd/") + pEnt->d_name;
            const ssize_t n = readlink(strLink.c_str(), szTarget, sizeof szTarget - 1);
            bHeld = n > 0 && m_strPath == std::string(szTarget, static_cast<size_t>(n))
                && OpenForWriting(pEnt->d_name);
        }
        if (pDir != nullptr)
            closedir(pDir);
        return bHeld;
    }
    void Run()
    {
        while (!m_bQuit && WriterHoldsFifo())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int fd = m_bQuit ? -1 : open(m_strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        bool bWriterSeen = false;
        while (fd >= 0 && !m_bQuit) {
            char byBuf[4096];
            const ssize_t n = read(fd, byBuf, sizeof byBuf);
            if (n > 0) {
                bWriterSeen = true;
                m_vecData.insert(m_vecData.end(), byBuf, byBuf + n);
                m_nBytes = m_vecData.size();
            } else if (n == 0 && bWriterSeen) {
                break;   // the writer has closed its end
            } else if (n == 0 || errno == EAGAIN || errno == EINTR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                break;
            }
        }
        if (fd >= 0)
            close(fd);
        m_bDone = true;
    }

    std::string m_strPath;
    std::vector<char> m_vecData;
    std::atomic<size_t> m_nBytes { 0 };
    std::atomic<bool> m_bQuit { false };
    std::atomic<bool> m_bDone { false };
    std::thread m_thread;
};

void CCaptureFaultsTest::readerKilledAndReplacedMidCapture()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("100"), QStringLiteral("--frames"),
        QStringLiteral("150"), QStringLiteral("--sent-pcap"), fx.m_strSent }));
    CTestCaptureDlg& dlg = fx.MakeDialog(10000, 5000);
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return LogMessages(dlg).contains(QStringLiteral("Start ZigBee sniffing OK!")); }, 5000));
    QVERIFY(WaitUntil([&] { return ReadPcap(fx.m_strCapture).m_vecRecords.size() >= 5; }, 5000));

    // Wireshark dies; a new reader comes for the next pipe within the wait.
    // It is ready before the kill: the next frame already runs into the wait.
    CLateReader late(fx.FifoPath());
    QVERIFY(kill(fx.ReaderPid(), SIGKILL) == 0);
    QVERIFY(sim.WaitForLog("frame limit of 150 reached", 15000));
    const CPcapRead sent = ReadPcap(fx.m_strSent);
    QCOMPARE(int(sent.m_vecRecords.size()), 150);
    QVERIFY(WaitUntil([&] { return DataBytes(dlg) == TotalFrameBytes(sent); }, 10000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY2(WaitUntil([&] { return late.Done(); }, 5000),
        qPrintable(QStringLiteral("the new reader got %1 bytes").arg(late.BytesRead())));

    // The first reader got the start of the capture (its last record may be cut).
    const CPcapRead first = ReadPcap(fx.m_strCapture);
    QCOMPARE(first.m_nLinkType, 195);
    QVERIFY(!first.m_vecRecords.empty());
    for (size_t i = 0; i < first.m_vecRecords.size(); ++i)
        QCOMPARE(first.m_vecRecords[i], sent.m_vecRecords[i]);

    // The new reader got a stream of its own: a global header, then the rest
    // of the frames in order, up to the last one sent.
    const QString strSecond = fx.m_dir.path() + QStringLiteral("/second.pcap");
    QFile fileSecond(strSecond);
    QVERIFY(fileSecond.open(QIODevice::WriteOnly));
    fileSecond.write(late.Data().data(), static_cast<qint64>(late.Data().size()));
    fileSecond.close();
    const CPcapRead second = ReadPcap(strSecond);
    QVERIFY2(second.m_bComplete, qPrintable(QStringLiteral("%1 bytes, %2 records: %3")
        .arg(late.Data().size()).arg(second.m_vecRecords.size()).arg(second.m_strError)));
    QCOMPARE(second.m_nLinkType, 195);
    QVERIFY(!second.m_vecRecords.empty());
    const size_t nFrom = sent.m_vecRecords.size() - second.m_vecRecords.size();
    QVERIFY(nFrom >= first.m_vecRecords.size());
    for (size_t i = 0; i < second.m_vecRecords.size(); ++i)
        QCOMPARE(second.m_vecRecords[i], sent.m_vecRecords[nFrom + i]);
    // Told as it happened: gone, and back within the wait.
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 6);
    QCOMPARE(lstLog.mid(1, 4), (QStringList { QStringLiteral("Start ZigBee sniffing OK!"),
                                   QStringLiteral("Wireshark closed the pipe: waiting 5 s for it to come back "
                                                  "(frames are kept meanwhile)"),
                                   QStringLiteral("Wireshark is reading again: the capture goes on"),
                                   QStringLiteral("Stop ZigBee sniffing OK!") }));
    // Nothing was lost for want of a reader.
    QCOMPARE(SummaryCount(dlg, "no reader: "), qint64(0));
    // (A record the killed reader left unread in the FIFO was delivered all the same.)
    QVERIFY(SummaryCount(dlg, "Frames delivered: ") >= qint64(first.m_vecRecords.size() + second.m_vecRecords.size()));
}

QTEST_MAIN(CCaptureFaultsTest)
#include "capture_faults_mt_qtest.moc"
