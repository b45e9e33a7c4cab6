// The main dialog's reporting side, no capture running: the About command
// (context menu, F1, the command ids), the log box's 200-line cycle, the Rx
// label (its text, without laying the dialog out again), the status reports
// while capturing or not, the Stop summary, and leaving on a signal.
#include "shell/qt/about_dlg.h"
#include "shell/model/activity_log.h"
#include "engine/capture_texts.h"
#include "shell_test_util.h"

#include "common/qt_wait.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QFontMetrics>
#include <QTimer>
#include <QtTest>

#include <csignal>
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
    }
    void cleanup() { m_pDir.reset(); }

    void aboutCommand();
    void logCycleOf200Lines();
    void rxLabelShowsCountWithoutRelayout();
    void exitSignalClosesBoxesAbove();
    void summaryNamesEveryCause();

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

// The box's own line count decides (the model's side is in capture_model_test).
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

    // Lines the user typed count too.
    dlg.m_editLog->clear();
    dlg.m_editLog->setPlainText(QString(QStringLiteral("typed\n")).repeated(199));   // 200 lines
    LogPrintf("after typing\n");   // appended at 200 lines
    QCOMPARE(LogMessages(dlg).size(), 200);
    LogPrintf("fresh\n");          // 201 lines: replaced
    QCOMPARE(LogMessages(dlg), QStringList { QStringLiteral("fresh") });
}

// Counts the layout passes a widget is asked for.
class CLayoutRequestCounter : public QObject {
public:
    int m_nRequests = 0;

protected:
    bool eventFilter(QObject* pObj, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::LayoutRequest)
            ++m_nRequests;
        return QObject::eventFilter(pObj, pEvent);
    }
};

void CCaptureDlgReportTest::rxLabelShowsCountWithoutRelayout()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QLabel* pRx = dlg.findChild<QLabel*>(QStringLiteral("IDC_RX_COUNT"));
    QLineEdit* pPathBox = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_WIRESHARK_PATH"));
    const QSize sizeDialog = dlg.size();
    CLayoutRequestCounter counter;
    dlg.installEventFilter(&counter);
    PumpFor(50);
    counter.m_nRequests = 0;

    // Blank until the first frame bytes, then the count as it is.
    dlg.RefreshRxLabel(0);
    QCOMPARE(pRx->text(), QString());
    dlg.RefreshRxLabel(100);
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 100"));
    pPathBox->setText(QStringLiteral("typed"));
    dlg.RefreshRxLabel(100);   // unchanged: nothing set
    QCOMPARE(pPathBox->text(), QStringLiteral("typed"));
    dlg.RefreshRxLabel(1200);
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 1200"));
    // Past 2^31 and 2^32 bytes the label goes on counting.
    dlg.RefreshRxLabel(uint64_t(2147483858));
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 2147483858"));
    dlg.RefreshRxLabel(uint64_t(1) << 40);
    QCOMPARE(pRx->text(), QStringLiteral("Rx : 1099511627776"));
    QCOMPARE(dlg.m_model.GetRxBytes(), int64_t(1) << 40);

    // Not one of these changes made the dialog lay itself out again.
    PumpFor(50);
    QCOMPARE(counter.m_nRequests, 0);
    QCOMPARE(dlg.size(), sizeDialog);
    // And the longest count still fits the label.
    const QFontMetrics fm(pRx->font());
    QVERIFY(fm.horizontalAdvance(QStringLiteral("Rx : 18446744073709551615")) <= pRx->contentsRect().width());
}

// A signal while the About box is open: the box closes and the dialog ends,
// rather than the box's own loop keeping the program alive.
void CCaptureDlgReportTest::exitSignalClosesBoxesAbove()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    bool bBoxSeen = false;
    bool bRescued = false;
    QTimer::singleShot(100, &dlg, [&] {
        bBoxSeen = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget()) != nullptr;
        dlg.OnExitSignal(SIGTERM);
    });
    QTimer::singleShot(3000, &dlg, [&] {
        if (QDialog* pBox = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
            bRescued = true;
            pBox->reject();
        }
    });
    dlg.OnSysCommand(IDM_ABOUTBOX, 0);   // runs the About box until something closes it
    QVERIFY(bBoxSeen);
    QVERIFY(!bRescued);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(LogMessages(dlg).isEmpty());   // leaving writes no log line
}

// The Stop summary counts this capture only, each loss under its own cause.
void CCaptureDlgReportTest::summaryNamesEveryCause()
{
    const CRfCounters rfFrom { 1000, 50000, 7, 2, 100 };
    const CRfCounters rfTo { 1600, 80000, 19, 5, 612 };
    const CPcapPipeStats pipeFrom { 990, 900, 45000, 40, 50 };
    const CPcapPipeStats pipeTo { 1580, 1400, 70000, 44, 121 };
    QCOMPARE(QString::fromStdString(DescribeCaptureSummary(rfFrom, rfTo, pipeFrom, pipeTo)),
        QStringLiteral("Frames delivered: 500; lost: 78 (receive overflow: 3 (512 bytes), no reader: 4, "
                       "reader too slow: 71); noise bytes skipped: 12"));
    // Records a failed write lost (a full disk) are their own cause.
    QCOMPARE(QString::fromStdString(DescribeCaptureSummary(rfFrom, rfTo, pipeFrom, pipeTo, 9)),
        QStringLiteral("Frames delivered: 500; lost: 87 (receive overflow: 3 (512 bytes), no reader: 4, "
                       "reader too slow: 71, write failed: 9); noise bytes skipped: 12"));
    // Where the system cannot say how many bytes a gap took, only the gaps are told.
    const CRfCounters rfGapsOnly { 1600, 80000, 19, 6, 612 };
    QVERIFY(QString::fromStdString(DescribeCaptureSummary(rfTo, rfGapsOnly, pipeTo, pipeTo))
                .contains(QStringLiteral("lost: 1 (receive overflow: 1, no reader: 0")));
    // Snapshots of another object (smaller) never wrap into huge numbers.
    QCOMPARE(QString::fromStdString(DescribeCaptureSummary(rfTo, rfFrom, pipeTo, pipeFrom)),
        QStringLiteral("Frames delivered: 0; lost: 0 (receive overflow: 0, no reader: 0, "
                       "reader too slow: 0); noise bytes skipped: 0"));
}

QTEST_MAIN(CCaptureDlgReportTest)
#include "capture_dlg_report_qtest.moc"
