// Captures that lose frames, through the real dialog with the simulated
// dongle and real reader processes: a reader that is paused, one that is
// slower than the dongle, one that quits, and a dongle that is unplugged.
// Whatever happens, the window answers at once, the dongle gets its stop
// command, a reader holds only whole frames that were really sent, and every
// frame not delivered is counted by its cause.
#include "common/stop_process_posix.h"
#include "capture_e2e_harness.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QtTest>

constexpr uint32_t SMALL_QUEUE_BYTES = 16 * 1024;   // fills in well under a second at line rate

class CCaptureLossTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { UsePrivateXdgDirs(m_dirXdg); }

    void pausedReaderDoesNotHoldUpStop();
    void slowReaderGetsOnlyWholeSentFrames();
    void readerThatQuitsIsToldAndCounted();
    void unplugEndsTheCapture();

private:
    QTemporaryDir m_dirXdg;
};

// The capture as a list of records: complete, and every record a frame sent.
static void CheckWholeSentFrames(const CE2EFixture& fx, CPcapRead& captured)
{
    const CPcapRead sent = ReadPcap(fx.m_strSent);
    QVERIFY(!sent.m_vecRecords.empty());
    captured = ReadPcap(fx.m_strCapture);
    QCOMPARE(captured.m_nLinkType, 195);
    QVERIFY2(captured.m_bComplete, qPrintable(captured.m_strError));
    QString strWhy;
    QVERIFY2(RecordsAreSentFramesInOrder(captured, sent, strWhy), qPrintable(strWhy));
}

void CCaptureLossTest::pausedReaderDoesNotHoldUpStop()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--line-rate"), QStringLiteral("--frames"),
        QStringLiteral("20000"), QStringLiteral("--sent-pcap"), fx.m_strSent }));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    dlg.m_model.GetEngine().SetPipeQueueBytes(SMALL_QUEUE_BYTES);
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetPipeStats().m_qwRecordsDelivered >= 10; }, 5000));

    // The reader stops reading: the FIFO and then the queue fill up, and
    // records are dropped whole rather than the window waiting.
    const pid_t pidReader = fx.ReaderPid();
    QVERIFY(StopProcessAndWait(pidReader));
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetPipeStats().m_qwDroppedSlowReader > 0; }, 10000));
    QLabel* pRx = dlg.findChild<QLabel*>(QStringLiteral("IDC_RX_COUNT"));
    const QString strRx = pRx->text();
    QVERIFY(WaitUntil([&] { return pRx->text() != strRx; }, 2000));   // the window is alive

    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    const qint64 nStopMs = timer.elapsed();
    QVERIFY2(nStopMs < 1000, qPrintable(QStringLiteral("Stop took %1 ms").arg(nStopMs)));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(sim.WaitForLog("cmd stop", 2000));

    // Let it go on: it reads what the FIFO held, then sees the end.
    QVERIFY(kill(pidReader, SIGCONT) == 0);
    QVERIFY(fx.WaitReaderEnds(10000));
    QVERIFY(sim.Finish());
    CPcapRead captured;
    CheckWholeSentFrames(fx, captured);
    QVERIFY(!captured.m_vecRecords.empty());
    QVERIFY(SummaryCount(dlg, "reader too slow: ") > 0);
    QCOMPARE(SummaryCount(dlg, "Frames delivered: "), qint64(captured.m_vecRecords.size()));
}

void CCaptureLossTest::slowReaderGetsOnlyWholeSentFrames()
{
    CE2EFixture fx;
    qputenv("QM_TEST_READER_MODE", "slow");
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--line-rate"), QStringLiteral("--frames"),
        QStringLiteral("4000"), QStringLiteral("--sent-pcap"), fx.m_strSent }));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    dlg.m_model.GetEngine().SetPipeQueueBytes(SMALL_QUEUE_BYTES);
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(sim.WaitForLog("frame limit of 4000 reached", 20000));
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetCounters().m_qwDataFrames == 4000; }, 5000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(fx.WaitReaderEnds(20000));
    QVERIFY(sim.Finish());

    CPcapRead captured;
    CheckWholeSentFrames(fx, captured);
    // Every frame is either delivered or counted as lost to the slow reader.
    const qint64 nDelivered = SummaryCount(dlg, "Frames delivered: ");
    const qint64 nSlow = SummaryCount(dlg, "reader too slow: ");
    QVERIFY2(nSlow > 0, qPrintable(LoggedStartingWith(dlg, "Frames delivered: ")));
    QCOMPARE(nDelivered, qint64(captured.m_vecRecords.size()));
    QCOMPARE(nDelivered + nSlow + SummaryCount(dlg, "no reader: "), qint64(4000));
}

void CCaptureLossTest::readerThatQuitsIsToldAndCounted()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--sent-pcap"),
        fx.m_strSent }));
    CTestCaptureDlg& dlg = fx.MakeDialog(10000, 300);
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetPipeStats().m_qwRecordsDelivered >= 5; }, 5000));

    // Wireshark quits and nobody comes back: told when it goes and when the
    // wait ends, and the frames after that are counted as having no reader.
    QVERIFY(kill(fx.ReaderPid(), SIGKILL) == 0);
    const QString strGone = QStringLiteral("Wireshark closed the pipe: waiting 1 s for it to come back "
                                           "(frames are kept meanwhile)");
    QVERIFY(WaitUntil([&] { return LogMessages(dlg).contains(strGone); }, 3000));
    QVERIFY(WaitUntil([&] { return LoggedStartingWith(dlg, "Wireshark did not come back").size() > 0; }, 3000));
    QCOMPARE(LoggedStartingWith(dlg, "Wireshark did not come back"),
        QStringLiteral("Wireshark did not come back within 1 s: frames from now on are dropped "
                       "(Stop, then Start to launch it again)"));
    const uint64_t qwDropped = dlg.m_model.GetEngine().GetPipeStats().m_qwDroppedNoReader;
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetPipeStats().m_qwDroppedNoReader >= qwDropped + 10; }, 3000));
    QVERIFY(dlg.m_btnStop->isEnabled());   // the capture itself goes on

    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(sim.WaitForLog("cmd stop", 2000));
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.at(lstLog.size() - 2), QStringLiteral("Stop ZigBee sniffing OK!"));
    QVERIFY2(SummaryCount(dlg, "no reader: ") >= 10, qPrintable(lstLog.constLast()));
    QVERIFY(SummaryCount(dlg, "Frames delivered: ") >= 5);
    // What the dead reader got is still whole and real.
    QVERIFY(sim.Finish());
    const CPcapRead captured = ReadPcap(fx.m_strCapture);
    QString strWhy;
    QVERIFY2(RecordsAreSentFramesInOrder(captured, ReadPcap(fx.m_strSent), strWhy), qPrintable(strWhy));
}

void CCaptureLossTest::unplugEndsTheCapture()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--hangup-after"),
        QStringLiteral("30") }));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    dlg.m_model.SetResumeWaitMs(0);   // ends at once instead of waiting for it to come back
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));

    const QString strLost = QStringLiteral("The sniffing device on COM200 went away (unplugged?): the capture ends");
    QVERIFY2(WaitUntil([&] { return LogMessages(dlg).contains(strLost); }, 5000),
        qPrintable(LogMessages(dlg).join(QLatin1Char('|'))));
    // Ended as Stop ends a capture: Start enabled again, Wireshark cut off.
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QVERIFY(!dlg.m_model.IsRunning());
    QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 5);
    QCOMPARE(lstLog.at(2), strLost);
    QCOMPARE(lstLog.at(3), QStringLiteral("Stop ZigBee sniffing OK!"));
    QVERIFY(lstLog.at(4).startsWith(QStringLiteral("Frames delivered: ")));
    QVERIFY(SummaryCount(dlg, "Frames delivered: ") <= 30);
    QVERIFY(fx.WaitReaderEnds(5000));
    QVERIFY(WaitUntil([&] { return !dlg.m_model.GetEngine().IsPortOpen(); }, 2000));
    // Told once; nothing follows.
    PumpFor(600);
    QCOMPARE(LogMessages(dlg).size(), 5);
}

QTEST_MAIN(CCaptureLossTest)
#include "capture_loss_mt_qtest.moc"
