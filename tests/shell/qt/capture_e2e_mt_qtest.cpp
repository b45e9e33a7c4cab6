// Whole captures through the real dialog: the simulated dongle on a pty, the
// real controller and serial port, the real pipe link and a stand-in
// Wireshark that copies the FIFO to a file. What the simulator sent must be
// what the capture holds, byte for byte, and tshark must read it as 802.15.4.
#include "capture_e2e_harness.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

class CCaptureE2ETest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { UsePrivateXdgDirs(m_dirXdg); }

    void captureHoldsExactlyTheFramesSent();
    void shortFramesCountedButNotForwarded();
    void noAcknowledgementFailsAndStops();
    void noiseSkippedIsReportedAtStop();
    void exitDuringCaptureSendsStop();
    void escapeAndCloseBoxDuringCaptureSendStop();
    void saveToPcapFileThroughTheDialog();

private:
    QTemporaryDir m_dirXdg;
};

void CCaptureE2ETest::captureHoldsExactlyTheFramesSent()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("200"),
        QStringLiteral("--frames"), QStringLiteral("60"), QStringLiteral("--sent-pcap"), fx.m_strSent }));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    QCOMPARE(dlg.m_comboDevice->currentData().toInt(), E2E_PORT);

    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(!dlg.m_btnStart->isEnabled());
    QVERIFY(dlg.m_btnStop->isEnabled());
    QVERIFY(LoggedStartingWith(dlg, "Waiting up to 10 s for Wireshark").endsWith(fx.FifoPath()));
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(sim.WaitForLog("cmd set-channel 15", 1000));

    // Every frame sent has arrived before Stop.
    QVERIFY(sim.WaitForLog("frame limit of 60 reached", 10000));
    const CPcapRead sent = ReadPcap(fx.m_strSent);
    QCOMPARE(int(sent.m_vecRecords.size()), 60);
    const qint64 nFrameBytes = TotalFrameBytes(sent);
    QVERIFY2(WaitUntil([&] { return DataBytes(dlg) == nFrameBytes; }, 5000),
        qPrintable(QStringLiteral("%1 of %2 bytes").arg(DataBytes(dlg)).arg(nFrameBytes)));
    // The label follows within its refresh period.
    QLabel* pRx = dlg.findChild<QLabel*>(QStringLiteral("IDC_RX_COUNT"));
    QVERIFY(WaitUntil([&] { return pRx->text() == QStringLiteral("Rx : %1").arg(nFrameBytes); }, 2000));

    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QVERIFY(sim.WaitForLog("cmd stop", 2000));
    QVERIFY(fx.WaitReaderEnds(5000));   // Stop cut the reader's connection: it saw the end
    PumpFor(100);
    QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 4);
    QCOMPARE(lstLog.mid(1, 2), (QStringList { QStringLiteral("Start ZigBee sniffing OK!"),
                                   QStringLiteral("Stop ZigBee sniffing OK!") }));
    QCOMPARE(lstLog.at(3), QStringLiteral("Frames delivered: 60; lost: 0 (receive overflow: 0, no reader: 0, "
                                          "reader too slow: 0); noise bytes skipped: 0"));

    // The capture: link type 195, the payloads in order, the FCS counted in orig_len.
    const CPcapRead captured = ReadPcap(fx.m_strCapture);
    QVERIFY(captured.m_bComplete);
    QCOMPARE(captured.m_nLinkType, 195);
    QCOMPARE(captured.m_vecRecords.size(), sent.m_vecRecords.size());
    for (size_t i = 0; i < sent.m_vecRecords.size(); ++i) {
        QCOMPARE(captured.m_vecRecords[i], sent.m_vecRecords[i]);
        QCOMPARE(captured.m_vecOrigLen[i], bpf_u_int32(sent.m_vecRecords[i].size() + 2));
    }

    QCOMPARE(pRx->text(), QStringLiteral("Rx : %1").arg(nFrameBytes));

    QVERIFY(sim.Finish());
    QCOMPARE(sim.Summary("frames"), qint64(60));
    QCOMPARE(sim.Summary("frame_bytes"), nFrameBytes);
    QCOMPARE(sim.Summary("stop"), qint64(1));
    QCOMPARE(sim.Summary("channel"), qint64(15));

    // Wireshark's own reader takes every record as IEEE 802.15.4.
    CChildProcess tshark;
    QVERIFY(SpawnChild(tshark, { QStringLiteral("tshark"), QStringLiteral("-r"), fx.m_strCapture, QStringLiteral("-T"),
        QStringLiteral("fields"), QStringLiteral("-e"), QStringLiteral("frame.protocols") }));
    QVERIFY(WaitForEnd(tshark, 60000));
    QCOMPARE(tshark.ExitCode(), 0);
    const QList<QByteArray> lstProtocols = QByteArray::fromStdString(tshark.Out()).trimmed().split('\n');
    QCOMPARE(lstProtocols.size(), 60);
    for (const QByteArray& byLine : lstProtocols)
        QVERIFY2(byLine.startsWith("wpan") && !byLine.contains("malformed"), byLine.constData());
}

void CCaptureE2ETest::shortFramesCountedButNotForwarded()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--frames"), QStringLiteral("0") }));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));

    // Frames as the controller hands them to the dialog's forwarder (the
    // dongle sends none, so this is the only capture side): 12 bytes (no
    // room for a payload), 17 (an empty payload) and 30 (13 payload bytes),
    // one wake-up's batch.
    uint8_t byFrame[30];
    for (int i = 0; i < 30; ++i)
        byFrame[i] = static_cast<uint8_t>(i);
    for (int nLen : { 12, 17, 30 })
        dlg.m_model.GetEngine().GetFrameSink().OnDataFrame(byFrame, nLen);
    dlg.m_model.GetEngine().GetFrameSink().OnDataBatchEnd();
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetPipeStats().m_qwRecordsDelivered >= 2; }, 5000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(fx.WaitReaderEnds(5000));

    const CPcapRead captured = ReadPcap(fx.m_strCapture);
    QVERIFY(captured.m_bComplete);
    QCOMPARE(captured.m_vecRecords.size(), size_t(2));
    QCOMPARE(captured.m_vecRecords[0], QByteArray());
    QCOMPARE(captured.m_vecRecords[1], QByteArray(reinterpret_cast<const char*>(byFrame) + 10, 13));
    QVERIFY2(LoggedStartingWith(dlg, "Frames delivered: 2; lost: 0 ").size() > 0, qPrintable(LogMessages(dlg).join('|')));
}

void CCaptureE2ETest::noAcknowledgementFailsAndStops()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--no-ack") }));
    CTestCaptureDlg& dlg = fx.MakeDialog();

    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(!dlg.m_btnStart->isEnabled());
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Stop ZigBee sniffing OK!"); }, 5000));
    // The line after the failure names the command that got no answer.
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 5);
    QCOMPARE(lstLog.mid(1, 3), (QStringList { QStringLiteral("Start ZigBee sniffing FAIL!"),
                                   QStringLiteral("The dongle did not answer the set-channel command within 300 ms"),
                                   QStringLiteral("Stop ZigBee sniffing OK!") }));
    QVERIFY(lstLog.at(4).startsWith(QStringLiteral("Frames delivered: 0; lost: 0 ")));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QVERIFY(!dlg.m_model.IsRunning());
    QVERIFY(sim.WaitForLog("cmd stop", 2000));
    QVERIFY(fx.WaitReaderEnds(5000));
    // The stop command's own time-out follows and is not logged.
    PumpFor(500);
    QCOMPARE(LogMessages(dlg).size(), 5);
    QCOMPARE(DataBytes(dlg), qint64(0));
}

void CCaptureE2ETest::noiseSkippedIsReportedAtStop()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("300"), QStringLiteral("--frames"),
        QStringLiteral("40"), QStringLiteral("--garbage"), QStringLiteral("--sent-pcap"), fx.m_strSent }));
    CTestCaptureDlg& dlg = fx.MakeDialog();

    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(sim.WaitForLog("frame limit of 40 reached", 10000));
    const qint64 nFrameBytes = TotalFrameBytes(ReadPcap(fx.m_strSent));
    QVERIFY(WaitUntil([&] { return DataBytes(dlg) == nFrameBytes; }, 5000));
    QVERIFY(WaitUntil([&] { return dlg.m_model.GetEngine().GetPipeStats().m_qwRecordsDelivered >= 40; }, 5000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(fx.WaitReaderEnds(5000));
    QVERIFY(sim.Finish());

    // The stray bytes between frames were skipped and are told as noise, not
    // as lost frames: every frame still made it into the capture.
    const qint64 nGarbage = sim.Summary("garbage_bytes");
    QVERIFY(nGarbage > 0);
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 4);
    QCOMPARE(lstLog.at(2), QStringLiteral("Stop ZigBee sniffing OK!"));
    QCOMPARE(lstLog.at(3), QStringLiteral("Frames delivered: 40; lost: 0 (receive overflow: 0, no reader: 0, "
                                          "reader too slow: 0); noise bytes skipped: %1").arg(nGarbage));
    QCOMPARE(ReadPcap(fx.m_strCapture).m_vecRecords.size(), size_t(40));
}

void CCaptureE2ETest::exitDuringCaptureSendsStop()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("100") }));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(WaitUntil([&] { return DataBytes(dlg) > 0; }, 5000));

    QTest::mouseClick(dlg.m_btnExit, Qt::LeftButton);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    // The port is closed at once, yet the stop command reached the dongle.
    QVERIFY(!dlg.m_model.GetEngine().IsPortOpen());
    QVERIFY(sim.WaitForLog("cmd stop", 2000));
    QVERIFY(sim.WaitForLog("host closed the port", 2000));
    QVERIFY(fx.WaitReaderEnds(5000));
    // Exit writes no log line.
    QCOMPARE(LogMessages(dlg).size(), 2);
    QCOMPARE(LogMessages(dlg).constLast(), QStringLiteral("Start ZigBee sniffing OK!"));
    fx.DestroyDialog();
    QVERIFY(sim.Finish());
    QCOMPARE(sim.Summary("stop"), qint64(1));
}

// Escape and the close box leave as Exit does: the stop command reaches the
// dongle before the port closes, and Wireshark's client is cut off.
void CCaptureE2ETest::escapeAndCloseBoxDuringCaptureSendStop()
{
    for (bool bEscape : { true, false }) {
        CE2EFixture fx;
        CSimRunner sim;
        QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("100") }));
        CTestCaptureDlg& dlg = fx.MakeDialog();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
        QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));

        if (bEscape)
            QTest::keyClick(&dlg, Qt::Key_Escape);
        else
            QVERIFY(dlg.close());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(!dlg.isVisible());
        QVERIFY(!dlg.m_model.GetEngine().IsPortOpen());
        QVERIFY2(sim.WaitForLog("cmd stop", 2000), bEscape ? "Escape" : "close box");
        QVERIFY(sim.WaitForLog("host closed the port", 2000));
        QVERIFY(fx.WaitReaderEnds(5000));
        fx.DestroyDialog();
        QVERIFY(sim.Finish());
        QCOMPARE(sim.Summary("stop"), qint64(1));
    }
}

// "Save to .pcap file" clicked, a file name typed, Start and Stop: the file
// holds the frames sent, nobody was launched; Start again with the same name
// asks before replacing it, and "No" keeps it.
void CCaptureE2ETest::saveToPcapFileThroughTheDialog()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), { QStringLiteral("--rate"), QStringLiteral("300"),
        QStringLiteral("--frames"), QStringLiteral("30"), QStringLiteral("--sent-pcap"), fx.m_strSent }));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QLabel* pLabel = dlg.findChild<QLabel*>(QStringLiteral("IDC_PATH_LABEL"));
    QLineEdit* pPath = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_WIRESHARK_PATH"));
    QCOMPARE(pLabel->text(), QStringLiteral("Specify path to Wireshark"));

    QTest::mouseClick(dlg.findChild<QRadioButton*>(QStringLiteral("IDC_MODE_PCAPFILE")), Qt::LeftButton);
    QCOMPARE(pLabel->text(), QStringLiteral("Specify path to .pcap file"));
    QCOMPARE(pPath->text(), QString());
    const QString strFile = fx.m_dir.path() + QStringLiteral("/saved.pcap");
    QTest::keyClicks(pPath, strFile);
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));
    QVERIFY(sim.WaitForLog("frame limit of 30 reached", 10000));
    const CPcapRead sent = ReadPcap(fx.m_strSent);
    QVERIFY(WaitUntil([&] { return DataBytes(dlg) == TotalFrameBytes(sent); }, 5000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(sim.WaitForLog("cmd stop", 2000));
    QCOMPARE(LogMessages(dlg).constLast(), QStringLiteral("Saved 30 frames to ") + strFile);

    const CPcapRead saved = ReadPcap(strFile);
    QVERIFY2(saved.m_bComplete, qPrintable(saved.m_strError));
    QCOMPARE(saved.m_nLinkType, 195);
    QCOMPARE(saved.m_vecRecords, sent.m_vecRecords);
    QVERIFY(!QFile::exists(fx.m_strPidFile));   // the stand-in Wireshark never ran
    QCOMPARE(ReadFileBytes(fx.m_dir.path() + QStringLiteral("/Quillmark.ini")).contains("PcapFile=" + QFile::encodeName(strFile)), true);

    // Start again: the box asks, "No" keeps the capture.
    const QByteArray bySaved = ReadFileBytes(strFile);
    bool bAsked = false;
    QTimer::singleShot(50, &dlg, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (pBox == nullptr)
            return;
        bAsked = pBox->text().startsWith(strFile + QStringLiteral(" exists."));
        QTest::mouseClick(pBox->button(QMessageBox::No), Qt::LeftButton);
    });
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(bAsked);
    QVERIFY(dlg.m_btnStart->isEnabled());
    QCOMPARE(LogMessages(dlg).constLast(), strFile + QStringLiteral(" exists and was kept: the capture did not start"));
    QCOMPARE(ReadFileBytes(strFile), bySaved);
    QVERIFY(sim.Finish());
    QCOMPARE(sim.Summary("stop"), qint64(1));
}

QTEST_MAIN(CCaptureE2ETest)
#include "capture_e2e_mt_qtest.moc"
