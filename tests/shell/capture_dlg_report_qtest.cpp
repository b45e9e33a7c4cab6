// The main dialog's reporting side, no capture running: the About command
// (context menu, F1, the command ids), the log box's 200-line cycle, the Rx
// label's count of whole frames and the status reports while capturing or not.
#include "shell/about_dlg.h"
#include "shell/activity_log.h"
#include "shell_test_util.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

class CCaptureDlgReportTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { UsePrivateXdgDirs(m_dirXdg); }
    void init()
    {
        m_pDir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_pDir->isValid());
        // A fresh program start as far as the Rx label is concerned.
        CCaptureDlg::s_nRxBytesSinceUpdate = RX_UPDATE_BYTES;
    }
    void cleanup() { m_pDir.reset(); }

    void aboutCommand();
    void logCycleOf200Lines();
    void logWithoutMainWindowDoesNothing();
    void rxLabelCountsWholeFrames();
    void statusReportsWhileCapturingOrNot();

private:
    // Opens the modal box that fnTrigger brings up, checks it is the About
    // box, and closes it with OK. False when no About box came up.
    bool RunsAboutBox(const std::function<void()>& fnTrigger);

    QTemporaryDir m_dirXdg;
    std::unique_ptr<QTemporaryDir> m_pDir;
};

bool CCaptureDlgReportTest::RunsAboutBox(const std::function<void()>& fnTrigger)
{
    bool bSeen = false;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (QMenu* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            // The context menu: choose its About entry.
            for (QAction* pAction : pMenu->actions()) {
                if (pAction->text() == QStringLiteral("&About Quillmark...")) {
                    // Chosen from a timer of its own: the box it opens runs
                    // a modal loop in which this timer must still fire.
                    pMenu->setActiveAction(pAction);
                    QTimer::singleShot(0, pMenu, [pMenu] { QTest::keyClick(pMenu, Qt::Key_Return); });
                    return;
                }
            }
            pMenu->close();
            return;
        }
        CAboutDlg* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (pAbout == nullptr)
            return;
        QStringList lstTexts;
        bool bIcon = false;
        for (QLabel* pLabel : pAbout->findChildren<QLabel*>()) {
            lstTexts << pLabel->text();
            bIcon = bIcon || !pLabel->pixmap().isNull();
        }
        bSeen = pAbout->windowTitle() == QStringLiteral("About Quillmark")
            && lstTexts.contains(QStringLiteral("Quillmark Version 1.0")) && bIcon;
        QPushButton* pOk = pAbout->findChild<QPushButton*>(QStringLiteral("IDOK"));
        if (pOk != nullptr)
            pOk->click();
        else
            pAbout->reject();
    });
    timer.start();
    fnTrigger();
    // A trigger that opens nothing returns at once; give a stray box no chance.
    QTest::qWait(30);
    timer.stop();
    return bSeen;
}

void CCaptureDlgReportTest::aboutCommand()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));

    QVERIFY(RunsAboutBox([&] { dlg.OnSysCommand(IDM_ABOUTBOX, 0); }));
    QVERIFY(RunsAboutBox([&] { dlg.OnSysCommand(17, 0); }));
    QVERIFY(RunsAboutBox([&] { dlg.OnSysCommand(31, 0); }));
    QVERIFY(!RunsAboutBox([&] { dlg.OnSysCommand(32, 0); }));
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QVERIFY(RunsAboutBox([&] { QTest::keyClick(&dlg, Qt::Key_F1); }));
    QVERIFY(RunsAboutBox([&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dlg.mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(&dlg, &event);
    }));
    // The About command writes nothing to the log.
    QVERIFY(dlg.m_editLog->toPlainText().isEmpty());
}

void CCaptureDlgReportTest::logCycleOf200Lines()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    const QRegularExpression rePrefix(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  line 1$"));

    for (int i = 1; i <= 200; ++i)
        LogPrintf("line %d\n", i);
    QStringList lstLines = dlg.m_editLog->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lstLines.size(), 201);   // 200 lines and the empty one after the last line end
    QVERIFY2(rePrefix.match(lstLines.constFirst()).hasMatch(), qPrintable(lstLines.constFirst()));
    QCOMPARE(LogMessages(dlg).constLast(), QStringLiteral("line 200"));
    QCOMPARE(dlg.m_editLog->blockCount(), 201);

    // The 201st replaces everything.
    LogPrintf("line %d\n", 201);
    QCOMPARE(LogMessages(dlg), QStringList { QStringLiteral("line 201") });

    // Then 199 more are appended before the next fresh start.
    for (int i = 202; i <= 400; ++i)
        LogPrintf("line %d", i);   // no line feed of its own: still one line each
    QCOMPARE(LogMessages(dlg).size(), 200);
    QCOMPARE(LogMessages(dlg).constLast(), QStringLiteral("line 400"));
    LogPrintf("line %d\n", 401);
    QCOMPARE(LogMessages(dlg), QStringList { QStringLiteral("line 401") });

    // Lines the user typed count too.
    dlg.m_editLog->clear();
    dlg.m_editLog->setPlainText(QString(QStringLiteral("typed\n")).repeated(199));   // 200 lines
    LogPrintf("after typing\n");   // appended at 200 lines
    QCOMPARE(LogMessages(dlg).size(), 200);
    LogPrintf("fresh\n");          // 201 lines: replaced
    QCOMPARE(LogMessages(dlg), QStringList { QStringLiteral("fresh") });
}

void CCaptureDlgReportTest::logWithoutMainWindowDoesNothing()
{
    CTestCaptureDlg dlg(m_pDir->path());
    dlg.OnInitDialog();
    LogPrintf("nobody listens %d\n", 1);
    QVERIFY(dlg.m_editLog->toPlainText().isEmpty());
    {
        CMainWndScope scope(&dlg);
        LogPrintf("now %s\n", "shown");
    }
    LogPrintf("gone again\n");
    QCOMPARE(LogMessages(dlg), QStringList { QStringLiteral("now shown") });
}

void CCaptureDlgReportTest::rxLabelCountsWholeFrames()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    QLabel* pRx = dlg.findChild<QLabel*>(QStringLiteral("IDC_RX_COUNT"));
    QLineEdit* pPathBox = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_WIRESHARK_PATH"));
    uint8_t byFrame[258] = {};
    auto frame = [&](int nLen) {
        dlg.OnMessage(WM_RF_FRAME, reinterpret_cast<WPARAM>(byFrame), nLen);
    };

    // 100-byte frames from program start: shown at once, then next at 1200.
    frame(100);
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 100"));
    pPathBox->setText(QStringLiteral("typed"));
    for (int i = 2; i <= 11; ++i)
        frame(100);
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 100"));
    QCOMPARE(pPathBox->text(), QStringLiteral("typed"));
    frame(100);
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 1200"));
    QCOMPARE(pPathBox->text(), QStringLiteral("wireshark"));   // the refresh resets the path box

    // Short frames (no payload) and the largest ones are counted in whole.
    for (int nLen : { 8, 16, 17, 258 })
        frame(nLen);
    QCOMPARE(dlg.m_nRxBytes, int64_t(1200 + 8 + 16 + 17 + 258));
    // Neither a null frame nor a negative length counts.
    dlg.OnMessage(WM_RF_FRAME, 0, 100);
    frame(-5);
    QCOMPARE(dlg.m_nRxBytes, int64_t(1499));

    // Past 2^31 bytes the label goes on counting.
    dlg.m_nRxBytes = int64_t(2147483600);
    CCaptureDlg::s_nRxBytesSinceUpdate = RX_UPDATE_BYTES;
    frame(258);
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 2147483858"));
}

void CCaptureDlgReportTest::statusReportsWhileCapturingOrNot()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();

    // No capture: neither an acknowledgement nor a time-out is logged.
    dlg.OnMessage(WM_RF_STATUS, 1, 0);
    dlg.OnMessage(WM_RF_STATUS, 5, 0xFFFF);
    QVERIFY(LogMessages(dlg).isEmpty());

    // As after a successful Start.
    dlg.m_bCapturing = 1;
    dlg.m_btnStart->setEnabled(false);
    dlg.m_btnStop->setEnabled(true);
    dlg.OnMessage(WM_RF_STATUS, 2, 0);
    QCOMPARE(dlg.m_bCapturing, 1);
    QCOMPARE(LogMessages(dlg), QStringList { QStringLiteral("Start ZigBee sniffing OK!") });

    dlg.OnMessage(WM_RF_STATUS, 4, 0xFFFF);
    QCOMPARE(dlg.m_bCapturing, 0);
    QCOMPARE(LogMessages(dlg), (QStringList { QStringLiteral("Start ZigBee sniffing OK!"),
                                   QStringLiteral("Start ZigBee sniffing FAIL!"),
                                   QStringLiteral("Stop ZigBee sniffing OK!") }));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
}

QTEST_MAIN(CCaptureDlgReportTest)
#include "capture_dlg_report_qtest.moc"
