// Device names and log texts: the name test that takes a port number out of a
// friendly name, the ports directory's comN links as discovery finds them,
// the log text and its one line in the box, and the reason lines of a failed
// Start.
#include "shell/activity_log.h"
#include "shell/device_discovery.h"
#include "shell/start_diag.h"
#include "pcap/pcap_pipe.h"
#include "shell_test_util.h"

#include <QtTest>

#include <cerrno>
#include <string>
#include <vector>

class CShellNamesTest : public QObject {
    Q_OBJECT

private slots:
    void nameTest_data();
    void nameTest();
    void linkNames();
    void friendlyNamesRoundTrip();
    void portsDirectoryLinks();
    void logTextOneLinePerMessage();
    void startFailureReasons();
};

void CShellNamesTest::nameTest_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("port");
    QTest::newRow("usb serial") << QByteArray("USB Serial Port (COM7)") << 7;
    QTest::newRow("mixed-case Com first") << QByteArray("Communications Port (COM1)") << 1;
    QTest::newRow("COM inside a word") << QByteArray("XCOM Adapter (COM4)") << 0;
    QTest::newRow("COM0") << QByteArray("Port (COM0)") << 0;
    QTest::newRow("COM256") << QByteArray("Port (COM256)") << 0;
    QTest::newRow("COMx") << QByteArray("Port (COMx)") << 0;
    QTest::newRow("COM255") << QByteArray("Port (COM255)") << 255;
    QTest::newRow("lower case") << QByteArray("Port (com7)") << 0;
    QTest::newRow("blanks before digits") << QByteArray("COM  12") << 12;
    QTest::newRow("plus sign") << QByteArray("COM+9)") << 9;
    QTest::newRow("minus sign") << QByteArray("COM-3") << 0;
    QTest::newRow("huge number") << QByteArray("COM99999999999999999999") << 0;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("our own pty") << QByteArray("Serial port on /dev/pts/7 (COM200)") << 200;
    QTest::newRow("too long for the buffer")
        << (QByteArray(260, 'a') + QByteArray(" (COM5)")) << 0;
    QTest::newRow("longest that fits")
        << (QByteArray(255 - 7, 'a') + QByteArray(" (COM5)")) << 5;
}

void CShellNamesTest::nameTest()
{
    QFETCH(QByteArray, name);
    QFETCH(int, port);
    QCOMPARE(PortNumberFromFriendlyName(name.constData()), port);
}

void CShellNamesTest::linkNames()
{
    QCOMPARE(PortNumberFromLinkName("com200"), 200);
    QCOMPARE(PortNumberFromLinkName("com1"), 1);
    QCOMPARE(PortNumberFromLinkName("com255"), 255);
    QCOMPARE(PortNumberFromLinkName("com256"), 0);
    QCOMPARE(PortNumberFromLinkName("com0"), 0);
    QCOMPARE(PortNumberFromLinkName("com007"), 0);   // COM7 opens "com7", never this
    QCOMPARE(PortNumberFromLinkName("COM7"), 0);
    QCOMPARE(PortNumberFromLinkName("com12x"), 0);
    QCOMPARE(PortNumberFromLinkName("com"), 0);
    QCOMPARE(PortNumberFromLinkName("com1000"), 0);
}

void CShellNamesTest::friendlyNamesRoundTrip()
{
    const std::string strPty = MakeFriendlyName("", "/dev/pts/7", 200);
    QCOMPARE(QByteArray(strPty.c_str()), QByteArray("Serial port on /dev/pts/7 (COM200)"));
    QCOMPARE(PortNumberFromFriendlyName(strPty.c_str()), 200);
    const std::string strUsb = MakeFriendlyName("CC2531 USB Dongle", "/dev/ttyACM0", 65);
    QCOMPARE(QByteArray(strUsb.c_str()), QByteArray("CC2531 USB Dongle on /dev/ttyACM0 (COM65)"));
    QCOMPARE(PortNumberFromFriendlyName(strUsb.c_str()), 65);
}

void CShellNamesTest::portsDirectoryLinks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString strPorts = dir.path() + QStringLiteral("/ports");
    CPublishedPty ptyA;
    CPublishedPty ptyB;
    QVERIFY(ptyA.Publish(strPorts, 200));
    QVERIFY(ptyB.Publish(strPorts, 201));
    const std::string strDir = QFile::encodeName(strPorts).toStdString();
    // Nothing behind it, not a link, and names that map to no port.
    QVERIFY(symlink("/nonexistent/qm-tty", (strDir + "/com202").c_str()) == 0);
    QFile fileNotLink(strPorts + QStringLiteral("/com203"));
    QVERIFY(fileNotLink.open(QIODevice::WriteOnly));
    fileNotLink.close();
    QVERIFY(symlink(ptyA.Node().c_str(), (strDir + "/comx").c_str()) == 0);
    QVERIFY(symlink(ptyA.Node().c_str(), (strDir + "/com0").c_str()) == 0);
    SetPortsDirectory(strDir.c_str());

    std::vector<std::string> vecNames;
    QVERIFY(EnumeratePresentPorts(vecNames));
    const std::string strA = "Serial port on " + ptyA.Node() + " (COM200)";
    const std::string strB = "Serial port on " + ptyB.Node() + " (COM201)";
    int nA = 0;
    int nB = 0;
    for (const std::string& strName : vecNames) {
        nA += strName == strA;
        nB += strName == strB;
        QVERIFY2(strName.find("(COM202)") == std::string::npos, strName.c_str());
        QVERIFY2(strName.find("(COM203)") == std::string::npos, strName.c_str());
        QVERIFY2(strName.find("(COM0)") == std::string::npos, strName.c_str());
        // Everything listed passes the name test with the number it names.
        QVERIFY2(PortNumberFromFriendlyName(strName.c_str()) != 0, strName.c_str());
    }
    QCOMPARE(nA, 1);
    QCOMPARE(nB, 1);

    // A port that goes away is not listed at the next scan.
    ptyB.Close();
    QVERIFY(symlink("/nonexistent/qm-gone", (strDir + "/com201").c_str()) == 0);
    QVERIFY(EnumeratePresentPorts(vecNames));
    for (const std::string& strName : vecNames)
        QVERIFY2(strName.find("(COM201)") == std::string::npos, strName.c_str());
    SetPortsDirectory("");
}

void CShellNamesTest::logTextOneLinePerMessage()
{
    // Every message brings its own line feed and the log call adds one more:
    // the box still gets exactly one line, with the local time in front.
    const std::string strText = BuildLogText(0, 0, 5, "Stop ZigBee sniffing OK!\n");
    QCOMPARE(QByteArray(strText.c_str()), QByteArray("00:00:05  Stop ZigBee sniffing OK!\n\n"));
    QCOMPARE(QByteArray(LogTextToBoxText(strText.c_str()).c_str()),
        QByteArray("00:00:05  Stop ZigBee sniffing OK!\n"));
    QCOMPARE(QByteArray(BuildLogText(14, 7, 9, "x").c_str()), QByteArray("14:07:09  x\n"));
    // Without its own line feed the message is still a line of its own.
    QCOMPARE(QByteArray(LogTextToBoxText("23:59:59  no feed\n").c_str()),
        QByteArray("23:59:59  no feed\n"));
    // A lone line feed inside does not break the line; CR LF does.
    QCOMPARE(QByteArray(LogTextToBoxText("a\nb\rc\r\nd\n\n").c_str()), QByteArray("a b c\nd\n"));
    QCOMPARE(QByteArray(LogTextToBoxText("").c_str()), QByteArray(""));
    QCOMPARE(QByteArray(LogTextToBoxText("\n\n").c_str()), QByteArray("\n"));
}

void CShellNamesTest::startFailureReasons()
{
    // What the user needs to act on must be in the line.
    const std::string strPerm = DescribePortFailure(65, false, OsErrorFromCode(EACCES), "/dev/ttyACM0", "/dev/ttyACM0", "/p");
    QVERIFY2(strPerm.find("/dev/ttyACM0") != std::string::npos, strPerm.c_str());
    QVERIFY2(strPerm.find("ermission denied") != std::string::npos, strPerm.c_str());
    QVERIFY2(strPerm.find("dialout") != std::string::npos, strPerm.c_str());

    const std::string strMissing = DescribePortFailure(7, false, OsErrorFromCode(ENOENT), "/dev/ttyS6", "/dev/ttyS6", "/cfg/ports");
    QVERIFY2(strMissing.find("COM7") != std::string::npos, strMissing.c_str());
    QVERIFY2(strMissing.find("/dev/ttyS6") != std::string::npos, strMissing.c_str());
    QVERIFY2(strMissing.find("/cfg/ports/com7") != std::string::npos, strMissing.c_str());

    const std::string strUnmapped = DescribePortFailure(150, false, COsError(), "", "", "/cfg/ports");
    QVERIFY2(strUnmapped.find("COM150") != std::string::npos, strUnmapped.c_str());
    QVERIFY2(strUnmapped.find("/cfg/ports/com150") != std::string::npos, strUnmapped.c_str());

    const std::string strBusy = DescribePortFailure(200, false, OsErrorFromCode(EBUSY), "/dev/pts/3", "/dev/pts/3", "/p");
    QVERIFY2(strBusy.find("in use") != std::string::npos, strBusy.c_str());

    QVERIFY(DescribeMissingProgram("wireshark").find("PATH") != std::string::npos);
    QVERIFY(DescribeMissingProgram("/opt/ws/wireshark").find("/opt/ws/wireshark") != std::string::npos);

    const std::string strLate = DescribePipeFailure("wireshark", PIPE_FAIL_CONNECT_TIMEOUT, COsError(), OsErrorFromCode(ETIMEDOUT),
        "/run/user/1/quillmark/wireshark0", PIPE_CONNECT_TIMEOUT_MS);
    QVERIFY2(strLate.find("within 25 s") != std::string::npos, strLate.c_str());
    QVERIFY2(strLate.find("/run/user/1/quillmark/wireshark0") != std::string::npos, strLate.c_str());
    const std::string strLaunch = DescribePipeFailure("/opt/ws/x", PIPE_FAIL_LAUNCH, OsErrorFromCode(ENOENT), COsError(), "/f", 1000);
    QVERIFY2(strLaunch.find("/opt/ws/x") != std::string::npos, strLaunch.c_str());
    QVERIFY2(strLaunch.find("error 2") != std::string::npos, strLaunch.c_str());
}

QTEST_MAIN(CShellNamesTest)
#include "shell_names_qtest.moc"
