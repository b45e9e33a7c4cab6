#include "shell/capture_dlg.h"

#include "serial/port_names.h"
#include "shell/about_dlg.h"
#include "shell/activity_log.h"
#include "base/settings.h"
#include "shell/start_diag.h"
#include "ui_main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QKeySequence>
#include <QPlainTextEdit>
#include <QTextDocument>

#include <string>

// The icons live in a static library, whose resource initialiser the linker
// would otherwise drop.
void InitShellResources()
{
    static const bool s_bDone = [] {
        Q_INIT_RESOURCE(quillmark);
        return true;
    }();
    (void)s_bDone;
}

CCaptureDlg::CCaptureDlg(QWidget* pParent)
    : QDialog(pParent)
    , m_pUi(std::make_unique<Ui::CCaptureDlgUi>())
    , m_pipeEvents(*this)
    , m_bInitDone(false)
    , m_bExitStepsDone(false)
    , m_pActAbout(nullptr)
    , m_dwConnectTimeoutMs(PIPE_CONNECT_TIMEOUT_MS)
    , m_dwReconnectTimeoutMs(PIPE_RECONNECT_TIMEOUT_MS)
    , m_dwAckTimeoutMs(RF_ACK_TIMEOUT_MS)
    , m_nStoredPathCutLen(0)
    , m_dwPipeGeneration(0)
    , m_nCapturePhase(CAPTURE_IDLE)
    , m_countersAtStart()
    , m_statsAtStart()
    , m_editLog(nullptr)
    , m_comboDevice(nullptr)
    , m_comboChannel(nullptr)
    , m_btnBrowse(nullptr)
    , m_btnRefresh(nullptr)
    , m_btnStart(nullptr)
    , m_btnExit(nullptr)
    , m_btnStop(nullptr)
    , m_hIcon()
    , m_forwarder(&m_pcapPipe)
    , m_nRxBytes(0)
    , m_bCapturing(0)
{
    InitShellResources();
    for (int nSize : { 16, 32, 48, 64, 128, 256 })
        m_hIcon.addFile(QStringLiteral(":/icons/quillmark_%1.png").arg(nSize), QSize(nSize, nSize));

    // The window with its controls and the channel items, as the template has them.
    m_pUi->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_editLog = m_pUi->IDC_LOG;
    m_comboDevice = m_pUi->IDC_DEVICE;
    m_comboChannel = m_pUi->IDC_CHANNEL;
    m_btnBrowse = m_pUi->IDC_BROWSE;
    m_btnRefresh = m_pUi->IDC_REFRESH;
    m_btnStart = m_pUi->IDC_START;
    m_btnExit = m_pUi->IDC_EXIT;
    m_btnStop = m_pUi->IDC_STOP;
    // The log's own inserts are not meant to be undone.
    m_editLog->document()->setUndoRedoEnabled(false);
    FixRxLabelSize();

    // Frames go from the reader thread through the forwarder into the pipe
    // link's queue; the pipe link's events come back through the relay.
    m_rfCtrl.SetDataSink(&m_forwarder);
    m_pcapPipe.SetEvents(&m_pipeEvents);
    m_timerRx.setInterval(RX_LABEL_REFRESH_MS);
    connect(&m_timerRx, &QTimer::timeout, this, [this] { OnRxTimer(); });

    // Only user choices write the settings: activated, not currentIndexChanged.
    connect(m_comboDevice, &QComboBox::activated, this, [this](int) { OnSelChangeDevice(); });
    connect(m_comboChannel, &QComboBox::activated, this, [this](int) { OnSelChangeChannel(); });
    connect(m_btnRefresh, &QPushButton::clicked, this, [this] { OnRefreshDevices(); });
    connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(m_btnStart, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_btnStop, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(m_btnExit, &QPushButton::clicked, this, [this] { OnExit(); });
    connect(m_pUi->IDC_WIRESHARK_PATH, &QLineEdit::textEdited, this, [this] { OnEditWiresharkPath(); });
}

// The reader thread feeds the pipe link through the forwarder: it must be
// gone before the pipe link is destroyed (members go in reverse order).
CCaptureDlg::~CCaptureDlg()
{
    m_timerRx.stop();
    m_rfCtrl.Shutdown();
    m_rfCtrl.SetDataSink(nullptr);
}

// A label whose size never changes does not lay the dialog out again when
// its text changes: room for the longest count there can be.
void CCaptureDlg::FixRxLabelSize()
{
    QLabel* pLabel = m_pUi->IDC_RX_COUNT;
    const QFontMetrics fm(pLabel->font());
    const int nWidth = fm.horizontalAdvance(QStringLiteral("Rx : 18446744073709551615")) + 2 * pLabel->margin() + 4;
    pLabel->setFixedSize(qMax(nWidth, pLabel->minimumWidth()), qMax(pLabel->sizeHint().height(), fm.height()));
}

int CCaptureDlg::DoModal()
{
    if (!m_bInitDone)
        OnInitDialog();
    return exec();
}

bool CCaptureDlg::OnInitDialog()
{
    m_bInitDone = true;
    // 1. The controls show the (empty) members: the Rx label and the path box go blank.
    UpdateData(false);

    // 2. No system menu to extend on X11 and Wayland: the About command is
    //    offered in the context menu and on F1.
    m_pActAbout = new QAction(QString::fromUtf8(STR_ABOUTBOX), this);
    m_pActAbout->setShortcut(QKeySequence(Qt::Key_F1));
    m_pActAbout->setShortcutContext(Qt::WindowShortcut);
    connect(m_pActAbout, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX, 0); });
    addAction(m_pActAbout);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    // 3. Large and small icon.
    setWindowIcon(m_hIcon);

    // 4. Settings path, and the ports directory inside the settings directory.
    ComputeSettingsPath();
    std::string strPorts = GetSettingsDirectory();
    strPorts += "/ports";
    SetPortsDirectory(strPorts.c_str());

    // 5.-7.
    FillDeviceList();
    SelectStoredChannel();
    LoadWiresharkPath();

    // 8. The controller's hidden window; its result is not looked at.
    m_rfCtrl.Create(this, IDC_RFCTRL);
    return true;
}

void CCaptureDlg::ComputeSettingsPath()
{
    InitSettingsPath();
}

LRESULT CCaptureDlg::OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_LOG_TEXT:
        return OnLogText(wParam, lParam);
    case WM_RF_STATUS:
        return OnRfStatus(wParam, lParam);
    case WM_RF_LINE_LOST:
        return OnRfLineLost(wParam, lParam);
    default:
        return 0;
    }
}

QWidget* CCaptureDlg::GetDlgItem(int32_t nID) const
{
    for (const CDlgItemId& item : g_mainDlgItems) {
        if (item.m_nID == nID)
            return findChild<QWidget*>(QString::fromLatin1(item.m_pszName));
    }
    return nullptr;
}

void CCaptureDlg::SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs)
{
    m_dwConnectTimeoutMs = dwConnectMs;
    m_dwReconnectTimeoutMs = dwReconnectMs;
    m_pcapPipe.SetTimeouts(dwConnectMs, dwReconnectMs);
}

void CCaptureDlg::SetAckTimeoutMs(uint32_t dwMs)
{
    m_dwAckTimeoutMs = dwMs;
    m_rfCtrl.SetAckTimeoutMs(dwMs);
}

void CCaptureDlg::UpdateData(bool bSaveAndValidate)
{
    QLineEdit* pPathBox = m_pUi->IDC_WIRESHARK_PATH;
    if (bSaveAndValidate) {
        m_strWiresharkPath = pPathBox->text();
        return;
    }
    // Only what changed is set: the same text again would move the caret
    // and re-lay out the label.
    if (m_pUi->IDC_RX_COUNT->text() != m_strRxCount)
        m_pUi->IDC_RX_COUNT->setText(m_strRxCount);
    if (pPathBox->text() != m_strWiresharkPath)
        pPathBox->setText(m_strWiresharkPath);
}

// A stored path that was cut to fit the setting would name another program:
// it is reported and not shown, so that Start cannot launch it.
void CCaptureDlg::LoadWiresharkPath()
{
    char szPath[SETTINGS_VALUE_SIZE];
    size_t nWholeLen = 0;
    ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, szPath, &nWholeLen);
    m_nStoredPathCutLen = 0;
    m_strWiresharkPath = QFile::decodeName(szPath);
    if (nWholeLen >= static_cast<size_t>(SETTINGS_VALUE_SIZE)) {
        m_nStoredPathCutLen = nWholeLen;
        m_strWiresharkPath.clear();
        LogPrintf("%s\n", DescribeStoredPathTooLong(nWholeLen, GetSettingsPath()).c_str());
    }
    m_pUi->IDC_MODE_WIRESHARK->setChecked(true);
    UpdateData(false);
}

// What the user types is the path from now on; Start saves it.
void CCaptureDlg::OnEditWiresharkPath()
{
    UpdateData(true);
    m_nStoredPathCutLen = 0;
}

void CCaptureDlg::OnSysCommand(uint32_t nID, LPARAM /*lParam*/)
{
    if ((nID & 0xFFF0u) == static_cast<uint32_t>(IDM_ABOUTBOX)) {
        CAboutDlg dlgAbout(this);
        dlgAbout.exec();
    }
}

QString CCaptureDlg::ChooseWiresharkFile()
{
    QFileDialog dlgFile(this);
    dlgFile.setAcceptMode(QFileDialog::AcceptOpen);
    dlgFile.setFileMode(QFileDialog::AnyFile);
    dlgFile.setNameFilters({ QStringLiteral("Wireshark File (wireshark*)"),
        QStringLiteral("All Files (*)") });
    dlgFile.selectFile(QStringLiteral("wireshark"));
    if (dlgFile.exec() != QDialog::Accepted || dlgFile.selectedFiles().isEmpty())
        return QString();
    return dlgFile.selectedFiles().constFirst();
}

void CCaptureDlg::OnBrowse()
{
    QString strChosen = ChooseWiresharkFile();
    if (strChosen.isEmpty())
        return;
    QByteArray byPath = QFile::encodeName(strChosen);
    // The setting holds at most 255 bytes; a cut path would name another file.
    if (byPath.size() >= SETTINGS_VALUE_SIZE) {
        LogPrintf("Wireshark path not saved: it is %d bytes long, at most %d fit: %s\n",
            static_cast<int>(byPath.size()), SETTINGS_VALUE_SIZE - 1, byPath.constData());
        return;
    }
    m_strWiresharkPath = strChosen;
    m_nStoredPathCutLen = 0;
    if (WriteSettingString(SETTINGS_INDEX, "Wireshark", byPath.constData()) != 1)
        LogWriteFailure("Wireshark");
    UpdateData(false);
}

void CCaptureDlg::OnExit()
{
    RunExitSteps();
    done(QDialog::Accepted);
}

void CCaptureDlg::reject()
{
    RunExitSteps();
    QDialog::reject();
}

void CCaptureDlg::OnExitSignal(int32_t /*nSignal*/)
{
    RunExitSteps();
    // A modal box above the dialog (About, the file chooser) would keep its
    // own loop running: close those first, topmost first.
    for (int i = 0; i < 16; ++i) {
        QWidget* pModal = QApplication::activeModalWidget();
        QDialog* pBox = qobject_cast<QDialog*>(pModal);
        if (pBox == nullptr || pBox == this)
            break;
        pBox->reject();
    }
    done(QDialog::Accepted);
}

// The stop command goes out and is drained before the port closes; the
// pipe's client is cut off. Once per dialog: leaving twice sends nothing more.
void CCaptureDlg::RunExitSteps()
{
    if (m_bExitStepsDone)
        return;
    m_bExitStepsDone = true;
    m_timerRx.stop();
    m_rfCtrl.StopCapture();
    m_rfCtrl.Shutdown();     // lets the stop command leave before the port closes
    DisconnectPipe();
    m_nCapturePhase = CAPTURE_IDLE;
}

void CCaptureDlg::LogWriteFailure(const char* pszKey)
{
    LogPrintf("Could not save \"%s\" in %s\n", pszKey, GetSettingsPath());
}
