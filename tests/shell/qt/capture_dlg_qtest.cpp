// The main dialog on its own (no capture running): the state it starts in,
// the stored port and channel found again, the settings written the moment
// the user changes a box (and only then), the browse button and the checks
// Start makes before it opens anything.
#include "devices/device_discovery.h"
#include "shell_test_util.h"

#include "common/qt_wait.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <memory>

class CCaptureDlgTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void initialStateWithoutSettingsFile();
    void storedPortAndChannelPreselected();
    void storedChannelOutsideRangeShowsChannel11();
    void storedPortAbsentLeavesNoSelection();
    void portsPluggedWhileOpenShowInTheBox();
    void userChoicesWrittenAtOnce();
    void browseStoresChosenPath();
    void startChecksBeforeOpeningAnything();
    void wiresharkPathFromTheBoxOrRefused();

private:
    QString IniPath() const { return m_pDir->path() + QStringLiteral("/Quillmark.ini"); }
    QString PortsDir() const { return m_pDir->path() + QStringLiteral("/ports"); }
    void WriteSetting(const char* pszKey, int nValue);

    QTemporaryDir m_dirXdg;
    std::unique_ptr<QTemporaryDir> m_pDir;
};

void CCaptureDlgTest::initTestCase()
{
    UsePrivateXdgDirs(m_dirXdg);
}

void CCaptureDlgTest::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
}

void CCaptureDlgTest::cleanup()
{
    m_pDir.reset();
}

void CCaptureDlgTest::WriteSetting(const char* pszKey, int nValue)
{
    InitSettingsPathFor(QFile::encodeName(m_pDir->path()).constData());
    QCOMPARE(WriteSettingInt(SETTINGS_INDEX, pszKey, nValue), 1);
}

void CCaptureDlgTest::initialStateWithoutSettingsFile()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    QVERIFY(dlg.OnInitDialog());

    QCOMPARE(dlg.findChild<QLineEdit*>(QStringLiteral("IDC_WIRESHARK_PATH"))->text(), QStringLiteral("wireshark"));
    QVERIFY(dlg.findChild<QRadioButton*>(QStringLiteral("IDC_MODE_WIRESHARK"))->isChecked());
    QVERIFY(!dlg.findChild<QRadioButton*>(QStringLiteral("IDC_MODE_PCAPFILE"))->isChecked());
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QCOMPARE(dlg.findChild<QLabel*>(QStringLiteral("IDC_RX_COUNT"))->text(), QString());
    QVERIFY(dlg.m_editLog->toPlainText().isEmpty());
    QVERIFY(!dlg.m_editLog->isReadOnly());

    // The 16 channels in order, index = channel - 11, channel 11 selected.
    QCOMPARE(dlg.m_comboChannel->count(), 16);
    for (int i = 0; i < 16; ++i) {
        const int nChannel = 11 + i;
        const QString strHex = QString::number(nChannel, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        const QString strWant = QStringLiteral("%1 (0x%2)  %3 GHz")
            .arg(nChannel).arg(strHex).arg(QString::number((2405 + 5 * i) / 1000.0, 'f', 3));
        QCOMPARE(dlg.m_comboChannel->itemText(i), strWant);
    }
    QCOMPARE(dlg.m_comboChannel->currentIndex(), 0);

    // With no settings file the stored port is COM1: only such an item may be selected.
    if (dlg.m_comboDevice->currentIndex() >= 0)
        QCOMPARE(dlg.m_comboDevice->currentData().toInt(), 1);

    // Caption, captions, icon and the control ids.
    QVERIFY(dlg.windowTitle().startsWith(QStringLiteral("Quillmark (")));
    QVERIFY(dlg.windowTitle().contains(QLatin1Char('@')));
    QVERIFY(dlg.windowTitle().endsWith(QLatin1Char(')')));
    QVERIFY(!(dlg.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(dlg.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!dlg.windowIcon().pixmap(32, 32).isNull());
    QVERIFY(dlg.windowIcon().availableSizes().contains(QSize(32, 32)));
    QCOMPARE(dlg.m_btnStart->text(), QStringLiteral("Start"));
    QCOMPARE(dlg.m_btnStop->text(), QStringLiteral("Stop"));
    QCOMPARE(dlg.m_btnExit->text(), QStringLiteral("Exit"));
    QCOMPARE(dlg.m_btnBrowse->text(), QStringLiteral("..."));
    QCOMPARE(dlg.m_btnRefresh->text(), QStringLiteral("..."));
    QCOMPARE(dlg.findChild<QRadioButton*>(QStringLiteral("IDC_MODE_PCAPFILE"))->text(), QStringLiteral("Save to .pcap file"));
    QStringList lstLabels;
    for (QLabel* pLabel : dlg.findChildren<QLabel*>())
        lstLabels << pLabel->text();
    for (const char* pszLabel : { "Select the sniffing mode", "Specify path to Wireshark",
             "Choose sniffing device", "Choose sniffing channel" })
        QVERIFY2(lstLabels.contains(QString::fromLatin1(pszLabel)), pszLabel);
    QCOMPARE(dlg.GetDlgItem(IDC_STOP), static_cast<QWidget*>(dlg.m_btnStop));
    QCOMPARE(dlg.GetDlgItem(IDC_DEVICE), static_cast<QWidget*>(dlg.m_comboDevice));
    QVERIFY(dlg.GetDlgItem(4711) == nullptr);

    // Tab order = template order.
    QStringList lstWant;
    for (const CDlgItemId& item : g_mainDlgItems) {
        if (item.m_nID != IDC_RX_COUNT)
            lstWant << QString::fromLatin1(item.m_pszName);
    }
    QStringList lstChain;
    QWidget* pWidget = dlg.GetDlgItem(IDC_MODE_WIRESHARK);
    for (int i = 0; i < 200 && lstChain.size() < lstWant.size(); ++i) {
        if (lstWant.contains(pWidget->objectName()) && !lstChain.contains(pWidget->objectName()))
            lstChain << pWidget->objectName();
        pWidget = pWidget->nextInFocusChain();
    }
    QCOMPARE(lstChain, lstWant);

    // Start-up reads the settings but writes nothing.
    QVERIFY(!QFile::exists(IniPath()));
}

void CCaptureDlgTest::storedPortAndChannelPreselected()
{
    CPublishedPty pty3;
    CPublishedPty pty12;
    QVERIFY(pty3.Publish(PortsDir(), 3));
    QVERIFY(pty12.Publish(PortsDir(), 12));
    WriteSetting("ComPort", 12);
    WriteSetting("Channel", 26);
    const QByteArray byIniBefore = ReadFileBytes(IniPath());

    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();

    QCOMPARE(QByteArray(GetPortsDirectory()), QFile::encodeName(PortsDir()));
    const QString strWant12 = QStringLiteral("Serial port on %1 (COM12)").arg(QString::fromStdString(pty12.Node()));
    QCOMPARE(dlg.m_comboDevice->currentText(), strWant12);
    QCOMPARE(dlg.m_comboDevice->currentData().toInt(), 12);
    QVERIFY(dlg.m_comboDevice->findText(
                QStringLiteral("Serial port on %1 (COM3)").arg(QString::fromStdString(pty3.Node()))) >= 0);
    // Sorted by text, and every item keeps the port number its text names.
    for (int i = 0; i < dlg.m_comboDevice->count(); ++i) {
        const QByteArray byText = dlg.m_comboDevice->itemText(i).toUtf8();
        QCOMPARE(dlg.m_comboDevice->itemData(i).toInt(), PortNumberFromFriendlyName(byText.constData()));
        if (i > 0)
            QVERIFY(QString::compare(dlg.m_comboDevice->itemText(i - 1), dlg.m_comboDevice->itemText(i),
                        Qt::CaseInsensitive) <= 0);
    }
    QCOMPARE(dlg.m_comboChannel->currentIndex(), 15);
    QCOMPARE(ReadFileBytes(IniPath()), byIniBefore);
}

void CCaptureDlgTest::storedChannelOutsideRangeShowsChannel11()
{
    for (int nStored : { 27, 10, 0 }) {
        WriteSetting("Channel", nStored);
        CTestCaptureDlg dlg(m_pDir->path());
        CMainWndScope scope(&dlg);
        dlg.OnInitDialog();
        QCOMPARE(dlg.m_comboChannel->currentIndex(), 0);
        // Shown as 11, but not written back.
        QCOMPARE(ReadSettingInt(SETTINGS_INDEX, "Channel", -1), nStored);
    }
}

void CCaptureDlgTest::storedPortAbsentLeavesNoSelection()
{
    CPublishedPty pty;
    QVERIFY(pty.Publish(PortsDir(), 200));
    WriteSetting("ComPort", 150);
    const QByteArray byIni = ReadFileBytes(IniPath());

    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    QVERIFY(dlg.m_comboDevice->count() >= 1);
    QCOMPARE(dlg.m_comboDevice->currentIndex(), -1);

    // Refresh with the stored port still absent: nothing selected, nothing written.
    QTest::mouseClick(dlg.m_btnRefresh, Qt::LeftButton);
    QCOMPARE(dlg.m_comboDevice->currentIndex(), -1);
    QCOMPARE(ReadFileBytes(IniPath()), byIni);

    // Start without a selection: one line, nothing else happens.
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QCOMPARE(LogMessages(dlg), QStringList { QStringLiteral("No found sniffing device!") });
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
}

// No "..." pressed: a port published while the dialog is open appears, the
// stored one selected, and goes again when unpublished.
void CCaptureDlgTest::portsPluggedWhileOpenShowInTheBox()
{
    WriteSetting("ComPort", 200);
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    dlg.show();
    QCOMPARE(dlg.m_comboDevice->findData(200), -1);

    auto pPty = std::make_unique<CPublishedPty>();
    QVERIFY(pPty->Publish(PortsDir(), 200));
    QVERIFY(WaitUntil([&] { return dlg.m_comboDevice->findData(200) >= 0; }, 5000));
    QCOMPARE(dlg.m_comboDevice->currentData().toInt(), 200);
    QCOMPARE(dlg.m_comboDevice->currentText(),
        QStringLiteral("Serial port on %1 (COM200)").arg(QString::fromStdString(pPty->Node())));

    pPty.reset();
    QVERIFY(WaitUntil([&] { return dlg.m_comboDevice->findData(200) < 0; }, 5000));
    QCOMPARE(dlg.m_comboDevice->currentIndex(), -1);
    QVERIFY(LogMessages(dlg).isEmpty());
}

void CCaptureDlgTest::userChoicesWrittenAtOnce()
{
    CPublishedPty pty200;
    CPublishedPty pty201;
    QVERIFY(pty200.Publish(PortsDir(), 200));
    QVERIFY(pty201.Publish(PortsDir(), 201));
    WriteSetting("ComPort", 200);

    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QCOMPARE(dlg.m_comboDevice->currentData().toInt(), 200);

    // The user picks the next channel with the keyboard: written at once.
    QTest::keyClick(dlg.m_comboChannel, Qt::Key_Down);
    QCOMPARE(dlg.m_comboChannel->currentIndex(), 1);
    QCOMPARE(ReadSettingInt(SETTINGS_INDEX, "Channel", -1), 12);
    QVERIFY(ReadFileBytes(IniPath()).contains("Channel=12"));
    // The item at index 4 is channel 15.
    dlg.m_comboChannel->setCurrentIndex(3);
    QTest::keyClick(dlg.m_comboChannel, Qt::Key_Down);
    QCOMPARE(ReadSettingInt(SETTINGS_INDEX, "Channel", -1), 15);

    // The device box: the item after COM200's in sorted order.
    const int nFrom = dlg.m_comboDevice->currentIndex();
    QVERIFY(nFrom + 1 < dlg.m_comboDevice->count());
    QTest::keyClick(dlg.m_comboDevice, Qt::Key_Down);
    QCOMPARE(dlg.m_comboDevice->currentIndex(), nFrom + 1);
    QCOMPARE(ReadSettingInt(SETTINGS_INDEX, "ComPort", -1), dlg.m_comboDevice->currentData().toInt());

    // Selection by program writes nothing.
    const QByteArray byIni = ReadFileBytes(IniPath());
    dlg.m_comboChannel->setCurrentIndex(9);
    dlg.m_comboDevice->setCurrentIndex(nFrom);
    dlg.SelectStoredChannel();
    dlg.FillDeviceList();
    QCOMPARE(ReadFileBytes(IniPath()), byIni);

    // Refresh writes the selected port back (here: the stored one).
    WriteSetting("ComPort", 201);
    QTest::mouseClick(dlg.m_btnRefresh, Qt::LeftButton);
    QCOMPARE(dlg.m_comboDevice->currentData().toInt(), 201);
    QCOMPARE(ReadSettingInt(SETTINGS_INDEX, "ComPort", -1), 201);
}

void CCaptureDlgTest::browseStoresChosenPath()
{
    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    QLineEdit* pPathBox = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_WIRESHARK_PATH"));

    // Cancelled: nothing changes.
    QTest::mouseClick(dlg.m_btnBrowse, Qt::LeftButton);
    QCOMPARE(dlg.m_nChooserRuns, 1);
    QVERIFY(!QFile::exists(IniPath()));
    QCOMPARE(pPathBox->text(), QStringLiteral("wireshark"));

    // Chosen: stored and shown at once (existence is Start's business).
    dlg.m_strChoice = QStringLiteral("/opt/ws tools/bin/wireshark");
    QTest::mouseClick(dlg.m_btnBrowse, Qt::LeftButton);
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", "", szStored);
    QCOMPARE(QByteArray(szStored), QByteArray("/opt/ws tools/bin/wireshark"));
    QCOMPARE(pPathBox->text(), dlg.m_strChoice);

    // A typed path is kept across a refresh of the controls (saved only at Start).
    pPathBox->selectAll();
    QTest::keyClicks(pPathBox, QStringLiteral("/typed/by/hand"));
    dlg.FillDeviceList();
    QCOMPARE(pPathBox->text(), QStringLiteral("/typed/by/hand"));
    ReadSettingString(SETTINGS_INDEX, "Wireshark", "", szStored);
    QCOMPARE(QByteArray(szStored), QByteArray("/opt/ws tools/bin/wireshark"));
    dlg.m_strChoice = QStringLiteral("/opt/ws tools/bin/wireshark");
    QTest::mouseClick(dlg.m_btnBrowse, Qt::LeftButton);

    // A path the setting cannot hold whole is refused with a log line, not cut.
    const QByteArray byIni = ReadFileBytes(IniPath());
    dlg.m_strChoice = QStringLiteral("/") + QString(300, QLatin1Char('w'));
    QTest::mouseClick(dlg.m_btnBrowse, Qt::LeftButton);
    QCOMPARE(ReadFileBytes(IniPath()), byIni);
    QCOMPARE(pPathBox->text(), QStringLiteral("/opt/ws tools/bin/wireshark"));
    const QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 1);
    QVERIFY2(lstLog.constFirst().contains(QStringLiteral("not saved")), qPrintable(lstLog.constFirst()));

    // 255 bytes still fit.
    dlg.m_strChoice = QStringLiteral("/") + QString(254, QLatin1Char('w'));
    QTest::mouseClick(dlg.m_btnBrowse, Qt::LeftButton);
    ReadSettingString(SETTINGS_INDEX, "Wireshark", "", szStored);
    QCOMPARE(QString::fromLatin1(szStored), dlg.m_strChoice);
}

void CCaptureDlgTest::startChecksBeforeOpeningAnything()
{
    CPublishedPty pty;
    QVERIFY(pty.Publish(PortsDir(), 200));
    WriteSetting("ComPort", 200);
    InitSettingsPathFor(QFile::encodeName(m_pDir->path()).constData());
    QCOMPARE(WriteSettingString(SETTINGS_INDEX, "Wireshark", "/nonexistent/qm/wireshark"), 1);

    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    QCOMPARE(dlg.m_comboDevice->currentData().toInt(), 200);

    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 2);
    QCOMPARE(lstLog.at(0), QStringLiteral("Open Wireshark fail!"));
    QVERIFY2(lstLog.at(1).contains(QStringLiteral("/nonexistent/qm/wireshark")), qPrintable(lstLog.at(1)));
    QVERIFY(dlg.m_btnStart->isEnabled());
    QVERIFY(!dlg.m_btnStop->isEnabled());
    QVERIFY(!dlg.m_model.IsRunning());
    // No pipe was made for a program that is not there.
    QVERIFY(!QFile::exists(QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) + QStringLiteral("/quillmark/wireshark0")));

    // A bare name is looked up in PATH, and the line says so.
    QLineEdit* pPathBox = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_WIRESHARK_PATH"));
    pPathBox->selectAll();
    QTest::keyClicks(pPathBox, QStringLiteral("qm-no-such-wireshark"));
    dlg.m_editLog->clear();
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 2);
    QCOMPARE(lstLog.at(0), QStringLiteral("Open Wireshark fail!"));
    QVERIFY2(lstLog.at(1).contains(QStringLiteral("PATH")), qPrintable(lstLog.at(1)));
}

// The path box is what Start uses, and saves; a path that does not fit the
// setting whole, typed or stored, is refused and nothing is started, not even
// the program its first 255 bytes would name.
void CCaptureDlgTest::wiresharkPathFromTheBoxOrRefused()
{
    CPublishedPty pty;
    QVERIFY(pty.Publish(PortsDir(), 200));
    WriteSetting("ComPort", 200);
    // A stored path of 300 bytes whose cut 255-byte start names a program
    // that leaves a mark when it runs.
    const QString strBase = m_pDir->path() + QStringLiteral("/") + QString(150, QLatin1Char('d'));
    QVERIFY(QDir().mkpath(strBase));
    const QString strLong = strBase + QStringLiteral("/") + QString(299 - strBase.size(), QLatin1Char('w'));
    QCOMPARE(QFile::encodeName(strLong).size(), 300);
    const QString strCut = strLong.left(SETTINGS_VALUE_SIZE - 1);
    const QString strMark = m_pDir->path() + QStringLiteral("/ran");
    QFile fileCut(strCut);
    QVERIFY(fileCut.open(QIODevice::WriteOnly));
    fileCut.write(QStringLiteral("#!/bin/sh\ntouch '%1'\nsleep 5\n").arg(strMark).toUtf8());
    fileCut.close();
    QVERIFY(fileCut.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(WriteSettingString(SETTINGS_INDEX, "Wireshark", QFile::encodeName(strLong).constData()), 1);
    const QString strFifo = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) + QStringLiteral("/quillmark/wireshark0");
    QFile::remove(strFifo);

    CTestCaptureDlg dlg(m_pDir->path());
    CMainWndScope scope(&dlg);
    dlg.OnInitDialog();
    QLineEdit* pPathBox = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_WIRESHARK_PATH"));
    QVERIFY(!pPathBox->isReadOnly());
    // Reported at start-up, and not shown as if it were the path.
    QStringList lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 1);
    QVERIFY2(lstLog.at(0).contains(QStringLiteral("300 bytes")) && lstLog.at(0).contains(IniPath()),
        qPrintable(lstLog.at(0)));
    QCOMPARE(pPathBox->text(), QString());

    dlg.m_editLog->clear();
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 2);
    QCOMPARE(lstLog.at(0), QStringLiteral("Open Wireshark fail!"));
    QVERIFY2(lstLog.at(1).contains(QStringLiteral("300 bytes")), qPrintable(lstLog.at(1)));
    QVERIFY(dlg.m_btnStart->isEnabled());
    PumpFor(200);
    QVERIFY(!QFile::exists(strMark));
    QVERIFY(!QFile::exists(strFifo));

    // Typed too long: refused the same way, the stored value left as it is.
    const QByteArray byIni = ReadFileBytes(IniPath());
    QTest::keyClicks(pPathBox, QStringLiteral("/") + QString(299, QLatin1Char('t')));
    dlg.m_editLog->clear();
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 2);
    QCOMPARE(lstLog.at(0), QStringLiteral("Open Wireshark fail!"));
    QVERIFY2(lstLog.at(1).contains(QStringLiteral("300 bytes")), qPrintable(lstLog.at(1)));
    QCOMPARE(ReadFileBytes(IniPath()), byIni);
    QVERIFY(!QFile::exists(strFifo));

    // Typed and fitting: used by Start and saved.
    pPathBox->selectAll();
    QTest::keyClicks(pPathBox, QStringLiteral("/nonexistent/typed/wireshark"));
    dlg.m_editLog->clear();
    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    lstLog = LogMessages(dlg);
    QCOMPARE(lstLog.size(), 2);
    QCOMPARE(lstLog.at(0), QStringLiteral("Open Wireshark fail!"));
    QVERIFY2(lstLog.at(1).contains(QStringLiteral("/nonexistent/typed/wireshark")), qPrintable(lstLog.at(1)));
    char szStored[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", "", szStored);
    QCOMPARE(QByteArray(szStored), QByteArray("/nonexistent/typed/wireshark"));
    QVERIFY(!QFile::exists(strMark));
}

QTEST_MAIN(CCaptureDlgTest)
#include "capture_dlg_qtest.moc"
