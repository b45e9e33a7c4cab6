// The Scan button and the scan window of the real dialog with the simulated
// dongle holding two networks: the bars come live, the visited channel is
// marked, a click on a bar takes its channel into the box and the settings;
// a channel picked in the box during a capture retunes it.
#include "capture_e2e_harness.h"

#include "shell/qt/scan_dlg.h"

#include <QPushButton>
#include <QtTest>

namespace {

constexpr uint32_t SCAN_DWELL_MS = 120;

QStringList NetworkArgs()
{
    return { QStringLiteral("--rate"), QStringLiteral("100"), QStringLiteral("--network"), QStringLiteral("15:0x1a62"),
        QStringLiteral("--network"), QStringLiteral("20:0x7c01") };
}

const CScanBar* BarOf(const std::vector<CScanBar>& vecBars, int32_t nChannel)
{
    for (const CScanBar& bar : vecBars) {
        if (bar.m_nChannel == nChannel)
            return &bar;
    }
    return nullptr;
}

} // namespace

class CCaptureScanTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { UsePrivateXdgDirs(m_dirXdg); }

    void scanShowsBarsAndAClickTakesTheChannel();
    void aPickDuringACaptureRetunes();

private:
    QTemporaryDir m_dirXdg;
};

void CCaptureScanTest::scanShowsBarsAndAClickTakesTheChannel()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), NetworkArgs()));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    dlg.m_model.SetScanDwellMs(SCAN_DWELL_MS);
    auto* pScan = qobject_cast<QPushButton*>(dlg.GetDlgItem(IDC_SCAN));
    QVERIFY(pScan != nullptr);
    QCOMPARE(pScan->text(), QStringLiteral("&Scan"));   // Alt+S
    QVERIFY(pScan->isEnabled());
    QVERIFY(dlg.GetScanDlg() == nullptr);

    QTest::mouseClick(pScan, Qt::LeftButton);
    QVERIFY(!pScan->isEnabled());
    QVERIFY(!dlg.m_btnStart->isEnabled());
    QVERIFY(dlg.m_btnStop->isEnabled());
    CScanDlg* pDlgScan = dlg.GetScanDlg();
    QVERIFY(pDlgScan != nullptr && pDlgScan->isVisible());
    CScanChart* pChart = pDlgScan->GetChart();
    QCOMPARE(pChart->objectName(), QStringLiteral("IDC_SCAN_CHART"));
    // Live: the column being listened to is marked while the sweep goes on.
    QVERIFY(WaitUntil([&] {
        const std::vector<CScanBar> vecNow = pChart->Layout();   // a copy: the pointer must not outlive it
        const CScanBar* pBar = BarOf(vecNow, 13);
        return pBar != nullptr && pBar->m_bNow;
    }, 5000));
    QVERIFY(WaitUntil([&] { return pScan->isEnabled(); }, 10000));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(Logged(dlg, "Survey done: 1 sweep"));

    const std::vector<CScanBar> vecBars = pChart->Layout();
    QCOMPARE(int(vecBars.size()), CHANNEL_COUNT);
    const CScanBar* pBar15 = BarOf(vecBars, 15);
    const CScanBar* pBar20 = BarOf(vecBars, 20);
    QVERIFY(pBar15 != nullptr && pBar20 != nullptr);
    QCOMPARE(pBar15->m_vecLabels, (std::vector<std::string> { "15", "0x1a62" }));
    QCOMPARE(pBar20->m_vecLabels, (std::vector<std::string> { "20", "0x7c01" }));
    QVERIFY(pBar15->m_rcBar.m_nBottom - pBar15->m_rcBar.m_nTop > 0);
    const CScanBar* pBar11 = BarOf(vecBars, 11);
    QCOMPARE(pBar11->m_rcBar.m_nBottom - pBar11->m_rcBar.m_nTop, 0);
    QCOMPARE(pBar11->m_vecLabels, std::vector<std::string> { "11" });
    for (const CScanBar& bar : vecBars)
        QVERIFY(!bar.m_bNow);

    // The channel box shows 15 (the fixture's); the click takes 20.
    QCOMPARE(dlg.m_comboChannel->currentIndex(), 15 - CHANNEL_FIRST);
    const QPoint ptBar20((pBar20->m_rcBar.m_nLeft + pBar20->m_rcBar.m_nRight) / 2, pBar20->m_rcBar.m_nBottom - 1);
    QTest::mouseClick(pChart, Qt::LeftButton, Qt::NoModifier, ptBar20);
    QCOMPARE(dlg.m_comboChannel->currentIndex(), 20 - CHANNEL_FIRST);
    QVERIFY(ReadFileBytes(fx.m_dir.path() + QStringLiteral("/Quillmark.ini")).contains("Channel=20"));
}

void CCaptureScanTest::aPickDuringACaptureRetunes()
{
    CE2EFixture fx;
    CSimRunner sim;
    QVERIFY(sim.Start(fx.PortsDir(), NetworkArgs()));
    CTestCaptureDlg& dlg = fx.MakeDialog();
    auto* pScan = qobject_cast<QPushButton*>(dlg.GetDlgItem(IDC_SCAN));
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QVERIFY(!pScan->isEnabled());
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Start ZigBee sniffing OK!"); }, 5000));

    dlg.m_comboChannel->setCurrentIndex(20 - CHANNEL_FIRST);
    emit dlg.m_comboChannel->activated(20 - CHANNEL_FIRST);
    QVERIFY(!dlg.m_comboChannel->isEnabled());   // busy while the dongle retunes
    QVERIFY(WaitUntil([&] { return Logged(dlg, "Sniffing on channel 20"); }, 5000));
    QVERIFY(dlg.m_comboChannel->isEnabled());
    QVERIFY(sim.WaitForLog("sniffing on channel 20: network 0x7c01", 2000));
    QTest::mouseClick(dlg.m_btnStop, Qt::LeftButton);
    QVERIFY(pScan->isEnabled());
}

QTEST_MAIN(CCaptureScanTest)
#include "capture_scan_mt_qtest.moc"
